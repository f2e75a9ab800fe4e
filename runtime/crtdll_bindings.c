/* Calls into crtdll.dll that its import library cannot make by name.
 *
 * The log formats with the C runtime DLL's own printf (__ms_vfprintf and
 * friends, which MinGW's msvcrt.dll import library provides and crtdll's
 * lacks). crtdll.dll's time and ctime work on a 32-bit time_t (the program
 * is built with _USE_32BIT_TIME_T, so the headers call them _time32 and
 * _ctime32), and its import library has no call stubs for them, only their
 * import-table entries, so they are called through those.
 *
 * This file is C: in C the plain printf names are the DLL's (MinGW's C++
 * library turns them into MinGW's own printf).
 */
#define __USE_MINGW_ANSI_STDIO 0
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

extern __time32_t(__cdecl* __MINGW_IMP_SYMBOL(time))(__time32_t* ptTime);
extern char*(__cdecl* __MINGW_IMP_SYMBOL(ctime))(const __time32_t* ptTime);

int __cdecl __ms_vfprintf(FILE* pFile, const char* pszFormat, va_list vaArgs)
{
    return vfprintf(pFile, pszFormat, vaArgs);
}

int __cdecl __ms_vsprintf(char* pszBuffer, const char* pszFormat, va_list vaArgs)
{
    return vsprintf(pszBuffer, pszFormat, vaArgs);
}

int __cdecl __ms_fprintf(FILE* pFile, const char* pszFormat, ...)
{
    va_list vaArgs;
    int nResult;
    va_start(vaArgs, pszFormat);
    nResult = vfprintf(pFile, pszFormat, vaArgs);
    va_end(vaArgs);
    return nResult;
}

static __time32_t __cdecl CrtdllTime(__time32_t* ptTime)
{
    return (*__MINGW_IMP_SYMBOL(time))(ptTime);
}

static char* __cdecl CrtdllCtime(const __time32_t* ptTime)
{
    return (*__MINGW_IMP_SYMBOL(ctime))(ptTime);
}

/* The headers declare _time32 and _ctime32 as DLL imports, so callers go
 * through these import-table pointers. */
__time32_t(__cdecl* __MINGW_IMP_SYMBOL(_time32))(__time32_t*) = CrtdllTime;
char*(__cdecl* __MINGW_IMP_SYMBOL(_ctime32))(const __time32_t*) = CrtdllCtime;
