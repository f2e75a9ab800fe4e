/* One Pentium Pro instruction, for the instruction check to find. */
int ProbeCmov(int nValue, int nOther)
{
    __asm__("testl %1, %1\n\tcmovne %1, %0" : "+r"(nValue) : "r"(nOther) : "cc");
    return nValue;
}
