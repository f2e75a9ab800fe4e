// The shipped program's own start-up, in place of the MinGW runtime's crt2.o.
//
// That start-up needs msvcrt.dll, which a clean Windows 95 lacks, and it is
// built for the Pentium Pro. This one asks only what the C runtime DLL of every
// system from 95 to XP provides (crtdll.dll; msvcrt.dll in the 64-bit test
// build) and does what the old start-up did, in the same order: the argument
// vector from the runtime, the static constructors, WinMain with the command
// line tail, the atexit handlers and static destructors, exit with WinMain's
// result.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "morix_command_line.h"

extern "C"
{
#if defined(MORIX_RUNTIME_CRTDLL)
    // crtdll.dll fills its argument vector here. It returns nothing before
    // Windows XP, so there is no result to look at.
    void __cdecl __GetMainArgs(int* pnArgc, char*** pppszArgv, char*** pppszEnv, int nWildcard);
#else
    struct _startupinfo;
    int __cdecl __getmainargs(int* pnArgc, char*** pppszArgv, char*** pppszEnv, int nWildcard,
                              _startupinfo* pStartupInfo);
#endif

    // The linker's lists of static constructors and destructors: a -1 word,
    // the entries, a 0 word.
    typedef void(__cdecl* PFN_STATIC)(void);
    extern PFN_STATIC __CTOR_LIST__[];
    extern PFN_STATIC __DTOR_LIST__[];

    extern IMAGE_DOS_HEADER __ImageBase;

    int __cdecl atexit(PFN_STATIC pfnHandler);
    void WinMainCRTStartup(void);
}

namespace
{

// GCC registers the destructor of each static object with atexit as the
// object is constructed. crtdll.dll exports atexit only as import-table data,
// so the program keeps its own table; the handlers run in reverse order
// before the runtime's exit closes its streams. The program has more than a
// hundred static strings: the table grows on the runtime's heap rather than
// drop a destructor.
const int c_nFirstExitHandlers = 128;
PFN_STATIC s_apfnFirstExitHandlers[c_nFirstExitHandlers];
PFN_STATIC* s_ppfnExitHandlers = s_apfnFirstExitHandlers;
int s_nExitHandlerSlots = c_nFirstExitHandlers;
int s_nExitHandlers = 0;

void RunStaticConstructors()
{
    int nCount = 0;
    while (__CTOR_LIST__[nCount + 1] != 0)
    {
        ++nCount;
    }
    // Constructors run from the end of the list, as GCC's own start-up runs them.
    for (int i = nCount; i >= 1; --i)
    {
        __CTOR_LIST__[i]();
    }
}

void __cdecl RunStaticDestructors()
{
    for (int i = 1; __DTOR_LIST__[i] != 0; ++i)
    {
        __DTOR_LIST__[i]();
    }
}

void RunExitHandlers()
{
    while (s_nExitHandlers > 0)
    {
        --s_nExitHandlers;
        s_ppfnExitHandlers[s_nExitHandlers]();
    }
}

} // namespace

extern "C" int __cdecl atexit(PFN_STATIC pfnHandler)
{
    if (pfnHandler == 0)
    {
        return -1;
    }
    if (s_nExitHandlers == s_nExitHandlerSlots)
    {
        PFN_STATIC* ppfnMore =
            static_cast<PFN_STATIC*>(malloc(2 * s_nExitHandlerSlots * sizeof(PFN_STATIC)));
        if (ppfnMore == 0)
        {
            return -1;
        }
        memmove(ppfnMore, s_ppfnExitHandlers, s_nExitHandlers * sizeof(PFN_STATIC));
        if (s_ppfnExitHandlers != s_apfnFirstExitHandlers)
        {
            free(s_ppfnExitHandlers);
        }
        s_ppfnExitHandlers = ppfnMore;
        s_nExitHandlerSlots *= 2;
    }
    s_ppfnExitHandlers[s_nExitHandlers++] = pfnHandler;
    return 0;
}

extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup(void)
{
    int nArgc = 0;
    char** ppszArgv = 0;
    char** ppszEnv = 0;
#if defined(MORIX_RUNTIME_CRTDLL)
    __GetMainArgs(&nArgc, &ppszArgv, &ppszEnv, 0);
#else
    int nNewMode = 0;
    __getmainargs(&nArgc, &ppszArgv, &ppszEnv, 0, reinterpret_cast<_startupinfo*>(&nNewMode));
#endif

    RunStaticConstructors();
    // As in GCC's start-up: the destructor list is an exit handler of its
    // own, registered after the constructors, so it runs before their
    // handlers.
    atexit(RunStaticDestructors);

    char* pszCmdLine = GetCommandLineA();
    if (pszCmdLine != 0)
    {
        pszCmdLine = SkipProgramPath(pszCmdLine);
    }
    STARTUPINFOA startupInfo;
    ZeroMemory(&startupInfo, sizeof(startupInfo));
    GetStartupInfoA(&startupInfo);
    int nShowCmd =
        (startupInfo.dwFlags & STARTF_USESHOWWINDOW) ? startupInfo.wShowWindow : SW_SHOWDEFAULT;

    int nResult = WinMain(reinterpret_cast<HINSTANCE>(&__ImageBase), 0, pszCmdLine, nShowCmd);

    RunExitHandlers();
    exit(nResult);
}
