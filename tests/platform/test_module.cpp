// A module for the loader tests: one export to look up and call.
extern "C" __attribute__((visibility("default"))) int WinsimProbe(int nValue)
{
    return nValue + 1;
}
