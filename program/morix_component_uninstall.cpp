// The component step of the uninstall: the component library's
// VendorUninstall for every local printer of the driver.
#include "morix_uninstall.h"

#include <windows.h>
#include <winspool.h>

#include <new>

#include "qvzvesk/qvzvesk_log.h"
#include "qvzvesk/qvzvesk_names.h"
#include "qvzvesk/qvzvesk_utils.h"

static const char s_szSourcePath[] = "..\\morix_uninstall.cpp";

typedef void(WINAPI* PFN_VENDOR_UNINSTALL)(LPCSTR pszPrinterName);

bool ComponentUninstall(const CQvCiString& sDriverName)
{
    CQvCiString sCompCfgPathname;
    HMODULE hComponent = 0;
    PFN_VENDOR_UNINSTALL pfnVendorUninstall = 0;
    BYTE* pbPrinterInfo = 0;
    DWORD cbNeeded = 0;
    DWORD cbReceived = 0;
    DWORD nPrinters = 0;
    bool fSucceeded = false;

    do
    {
        if (sDriverName.empty())
        {
            REPORT_FAILURE("sDriverName.empty()");
            break;
        }
        if (GetSystemPath(&sCompCfgPathname) == false)
        {
            REPORT_FAILURE("GetSystemPath( &sCompCfgPathname ) == false");
            break;
        }
        sCompCfgPathname += g_sFileConDll;

        // Without the library or its export the printers are still examined:
        // there is simply no one to tell.
        if (FileExists(sCompCfgPathname))
        {
            hComponent = LoadLibraryA(sCompCfgPathname.c_str());
            if (hComponent != 0)
            {
                FARPROC pfnExport = GetProcAddress(hComponent, "VendorUninstall");
                pfnVendorUninstall =
                    reinterpret_cast<PFN_VENDOR_UNINSTALL>(reinterpret_cast<void (*)()>(pfnExport));
            }
        }

        // The size query's own result is of no interest: the needed size is.
        EnumPrintersA(PRINTER_ENUM_LOCAL, 0, 2, reinterpret_cast<LPBYTE>(&nPrinters),
                      sizeof(nPrinters), &cbNeeded, &nPrinters);
        if (cbNeeded == 0)
        {
            REPORT_FAILURE("cbNeeded == 0");
            break;
        }
        pbPrinterInfo = new (std::nothrow) BYTE[cbNeeded];
        if (pbPrinterInfo == 0)
        {
            REPORT_FAILURE("pbPrinterInfo == 0");
            break;
        }
        if (EnumPrintersA(PRINTER_ENUM_LOCAL, 0, 2, pbPrinterInfo, cbNeeded, &cbReceived,
                          &nPrinters) == FALSE)
        {
            REPORT_FAILURE("EnumPrinters( PRINTER_ENUM_LOCAL, 0, 2, pbPrinterInfo, cbNeeded, "
                           "&cbReceived, &nPrinters ) == FALSE");
            break;
        }
        if (cbReceived != cbNeeded)
        {
            REPORT_FAILURE("cbReceived != cbNeeded");
            break;
        }
        if (nPrinters == 0)
        {
            REPORT_FAILURE("nPrinters == 0");
            break;
        }
        const PRINTER_INFO_2A* ptPrinters = reinterpret_cast<const PRINTER_INFO_2A*>(pbPrinterInfo);
        for (DWORD iPrinter = 0; iPrinter < nPrinters; ++iPrinter)
        {
            const char* pszDriverName = ptPrinters[iPrinter].pDriverName;
            if (pszDriverName != 0 && sDriverName.compare(pszDriverName) == 0 &&
                pfnVendorUninstall != 0)
            {
                pfnVendorUninstall(ptPrinters[iPrinter].pPrinterName);
            }
        }
        fSucceeded = true;
    } while (false);

    if (hComponent != 0)
    {
        FreeLibrary(hComponent);
    }
    delete[] pbPrinterInfo;

    if (fSucceeded)
    {
        g_LogFile.LogMessage(0, "ComponentUninstall (%s) Succeeded", sDriverName.c_str());
    }
    else
    {
        g_LogFile.LogMessage(0, "ComponentUninstall (%s) Failed",
                             sDriverName.empty() ? "NULL" : sDriverName.c_str());
    }
    return fSucceeded;
}
