/* Imports that the import check must refuse: one of Vista, one that Windows 95
 * lacks (kernel32 exports it only as data in MinGW's import library, so it is
 * reached through its import-table entry), one the export tables do not list. */
__declspec(dllimport) unsigned long long __stdcall GetTickCount64(void);
__declspec(dllimport) unsigned long __stdcall GetTickCount(void);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int uExitCode);
extern long(__stdcall* pfnInterlockedCompareExchange)(volatile long*, long, long) __asm__(
    "__imp__InterlockedCompareExchange@12");

void WinMainCRTStartup(void)
{
    volatile long nTarget = 0;
    pfnInterlockedCompareExchange(&nTarget, 1, 0);
    ExitProcess((unsigned int)(GetTickCount64() + GetTickCount()));
}
