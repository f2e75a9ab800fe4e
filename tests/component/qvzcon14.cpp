// Test build of the component library qvzcon14.dll.
//
// The Morix calls VendorUninstall once for every printer of the driver it
// uninstalls. This library writes down each call: it appends the printer name
// and a newline to the file named by the environment variable QVZCON_CALLS (a
// path of the platform the library runs on; under Wine a Windows path such as
// Z:\tmp\calls.txt). Without the variable it records nothing.
//
// Built with QVZCON_NO_EXPORT it keeps the function but does not export it, as
// a library of another version would: the Morix must then find no entry point.
// Both builds export VendorVersion, so the export table is never empty and the
// linker never falls back to exporting every symbol.
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#define QVZCON_EXPORT extern "C" __declspec(dllexport)
#else
#define WINAPI
#define QVZCON_EXPORT extern "C" __attribute__((visibility("default")))
typedef int BOOL;
typedef const char* LPCSTR;
#endif

namespace
{

void RecordCall(LPCSTR pszPrinterName)
{
    const char* pszCallsFile = std::getenv("QVZCON_CALLS");
    if (pszCallsFile == nullptr || *pszCallsFile == '\0')
        return;
    // Binary mode: one LF per call on every platform.
    FILE* pFile = std::fopen(pszCallsFile, "ab");
    if (pFile == nullptr)
        return;
    std::fprintf(pFile, "%s\n", pszPrinterName != nullptr ? pszPrinterName : "(null)");
    std::fclose(pFile);
}

} // namespace

QVZCON_EXPORT int WINAPI VendorVersion()
{
    return 14;
}

#ifdef QVZCON_NO_EXPORT
extern "C" BOOL WINAPI VendorUninstall(LPCSTR pszPrinterName);
extern "C" BOOL WINAPI VendorUninstall(LPCSTR pszPrinterName)
#else
QVZCON_EXPORT BOOL WINAPI VendorUninstall(LPCSTR pszPrinterName)
#endif
{
    RecordCall(pszPrinterName);
    return 1;
}
