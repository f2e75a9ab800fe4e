// The uninstall: tell the component library about each printer of the
// driver, then remove what the driver left in the registry. The file follows
// the run: the sequence, its component step, its registry step.
#include "morix_uninstall.h"

#include <windows.h>
#include <winspool.h>

#include <new>

#include "qvzvesk/qvzvesk_log.h"
#include "qvzvesk/qvzvesk_names.h"
#include "qvzvesk/qvzvesk_printing_names.h"
#include "qvzvesk/qvzvesk_registry.h"
#include "qvzvesk/qvzvesk_utils.h"

static const char s_szSourcePath[] = "..\\morix_uninstall.cpp";

// ---- Names only the uninstall uses ----------------------------------------
// The composites are built from inline constants of the shared headers, which
// are initialised before anything defined after their inclusion.

const CQvCiString g_sRegVnFactoryPreloaded = "FactoryPreloaded";
const CQvCiString g_sRegKeyCurrentVersion =
    g_sRegKeySoftware + "\\Microsoft\\Windows\\CurrentVersion";
const CQvCiString g_sRegKeyLegacy = g_sRegKeyVesk + "\\Legacy";
const CQvCiString g_sRegVnPreloadPath = "PreloadPath";
const CQvCiString g_sRegVnPreloadModels = "PreloadModels";
const CQvCiString g_sRegVnEregPathname = "EregPathname";
const CQvCiString g_sRegVnEregedModels = "EregedModels";
const CQvCiString g_sRegVnRunPreloadInstaller = "RunPreloadInstaller";
const CQvCiString g_sRegVnPreloadInstallerSwitches = "PreloadInstallerSwitches";
const CQvCiString g_sRegVnOverrideLanguage = "OverrideLanguage";
const CQvCiString g_sRegVnDefaultPrinter = "DefaultPrinter";
const CQvCiString g_sRegVnVeskResult = "VeskResult";
const CQvCiString g_sNameVeskRan = "QVZ_Vesk_Ran";
const CQvCiString g_sNameVeskInstalledDriver = "QVZ_Vesk_Installed_Driver";
const CQvCiString g_sNameVeskFinished = "QVZ_Vesk_Finished";
const CQvCiString g_sNameInstallerRunning = "QVZ_Installer_Running";
const CQvCiString g_sNameInstallationInitializing = "QVZ_Installation_Initializing";
const CQvCiString g_sFileSetupExe = "setup.exe";

// ---- The uninstall sequence ------------------------------------------------

bool UninstallHelper(const CQvCiString& sDriverName)
{
    if (sDriverName.empty())
    {
        REPORT_FAILURE("sDriverName.empty()");
        return false;
    }
    // Each step logs its own outcome; neither result changes the run's, and
    // the registry is cleaned even when the component step failed.
    ComponentUninstall(sDriverName);
    CleanupRegistry(sDriverName);
    return true;
}

// ---- Component step --------------------------------------------------------
// The component library's VendorUninstall for every local printer of the
// driver.

// The component returns a BOOL that tells nothing the Morix acts on; the call
// still has to go through the type the library defines.
typedef BOOL(WINAPI* PFN_VENDOR_UNINSTALL)(LPCSTR pszPrinterName);

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
                static_cast<void>(pfnVendorUninstall(ptPrinters[iPrinter].pPrinterName));
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

// ---- Registry step ---------------------------------------------------------
// Device, class, factory and 1284PnP keys on the 9x family; C32, Legacy and
// accessory-flags keys everywhere; then the Vesk's "registrycleanup" mark.

static const char s_szRegKeyParEnum[] = "ENUM\\PARENUM\\";
static const char s_szRegKeyLptEnum[] = "ENUM\\LPTENUM\\";
static const char s_szRegKeyUsbPrint[] = "ENUM\\USBPRINT";
static const char s_szRegVnHardwareId[] = "HardwareID";
static const char s_szRegVnDriver[] = "Driver";
static const char s_szRegVnClassGuid[] = "ClassGuid";
static const char s_szRegKeyClassBase[] = "System\\CurrentControlSet\\Services\\Class\\";

// The part of a key path before its last backslash; the path itself when it
// has none.
static CQvCiString ParentKey(const CQvCiString& sKey)
{
    CQvCiString::size_type isKey = sKey.rfind('\\');
    return isKey == CQvCiString::npos ? sKey : sKey.substr(0, isKey);
}

// Removes the USB device keys whose "HardwareID" holds the device id, with the
// class driver keys they point to. Returns the parent of the last key found.
static CQvCiString DeleteUsbDeviceKeys(const CQvCiString& sDeviceId)
{
    CQvCiString sDeviceParentKey;
    CQvCiString sPreviousKey;
    for (;;)
    {
        CQvCiString sFoundKey;
        if (RegFindValueData(s_szRegKeyUsbPrint, s_szRegVnHardwareId, sDeviceId, &sFoundKey,
                             HKEY_LOCAL_MACHINE, true) != true)
        {
            break;
        }
        // Each pass searches afresh, so a key whose deletion failed would be
        // found by every pass from now on.
        if (!sPreviousKey.empty() && sFoundKey.compare(sPreviousKey) == 0)
        {
            g_LogFile.LogMessage(0, "Key %s could not be deleted, USB device search ended",
                                 sFoundKey.c_str());
            break;
        }
        sPreviousKey = sFoundKey;
        g_LogFile.LogMessage(0, "Found Key = %s matching DeviceID = %s", sFoundKey.c_str(),
                             sDeviceId.c_str());

        CQvCiString sClassDriver;
        if (RegGetStringValue(sFoundKey, s_szRegVnDriver, &sClassDriver, true,
                              HKEY_LOCAL_MACHINE) &&
            !sClassDriver.empty())
        {
            g_LogFile.LogMessage(0, "\tClassDriver = %s", sClassDriver.c_str());
            const CQvCiString sRegKeyClassDriver = s_szRegKeyClassBase + sClassDriver;
            g_LogFile.LogMessage(0, "\tDeleting key: %s", sRegKeyClassDriver.c_str());
            RegDeleteKey(sRegKeyClassDriver, true, HKEY_LOCAL_MACHINE);

            const CQvCiString sRegKeyClass = ParentKey(sRegKeyClassDriver);
            if (RegIsKeyEmpty(sRegKeyClass, false, HKEY_LOCAL_MACHINE))
            {
                g_LogFile.LogMessage(0, "\tDeleting key: %s", sRegKeyClass.c_str());
                RegDeleteKey(sRegKeyClass, false, HKEY_LOCAL_MACHINE);

                CQvCiString sClassGuid;
                if (RegGetStringValue(sFoundKey, s_szRegVnClassGuid, &sClassGuid, true,
                                      HKEY_LOCAL_MACHINE) &&
                    !sClassGuid.empty())
                {
                    g_LogFile.LogMessage(0, "\tClassGuid = %s", sClassGuid.c_str());
                    const CQvCiString sRegKeyClassGuid = s_szRegKeyClassBase + sClassGuid;
                    g_LogFile.LogMessage(0, "\tDeleting key: %s", sRegKeyClassGuid.c_str());
                    RegDeleteKey(sRegKeyClassGuid, false, HKEY_LOCAL_MACHINE);
                }
            }
        }

        sDeviceParentKey = ParentKey(sFoundKey);
        RegDeleteKey(sFoundKey, true, HKEY_LOCAL_MACHINE);
        g_LogFile.LogMessage(0, "Deleted Key: %s", sFoundKey.c_str());
    }
    return sDeviceParentKey;
}

bool CleanupRegistry(const CQvCiString& sDriverName)
{
    bool fSucceeded = false;
    do
    {
        if (sDriverName.empty())
        {
            REPORT_FAILURE("sDriverName.empty()");
            break;
        }
        OsVersionType eOsVersion = GetOsVersion();
        if (eOsVersion == OsVersionType_Unknown)
        {
            REPORT_FAILURE("eOsVersion == OsVersionType_Unknown");
            break;
        }

        if (eOsVersion <= OsVersionType_WinME)
        {
            // Only the 9x family keeps the printer's device keys where this
            // program can find them.
            const CQvCiString sRegKeyFactory = g_sRegKeyFactory + "\\" + sDriverName;
            if (sRegKeyFactory.empty())
            {
                REPORT_FAILURE("sRegKeyFactory.empty()");
                break;
            }
            CQvCiString sDeviceId;
            if (!RegGetStringValue(sRegKeyFactory, g_sRegVnDeviceId, &sDeviceId, true,
                                   HKEY_LOCAL_MACHINE))
            {
                RegGetStringValue(sRegKeyFactory, g_sRegVnKormantId, &sDeviceId, true,
                                  HKEY_LOCAL_MACHINE);
            }
            if (!sDeviceId.empty())
            {
                g_LogFile.LogMessage(0, "sDeviceId = %s", sDeviceId.c_str());
                CQvCiString sRegKeyLptEnum = s_szRegKeyParEnum + sDeviceId;
                if (sRegKeyLptEnum.empty())
                {
                    REPORT_FAILURE("sRegKeyLptEnum.empty()");
                    break;
                }
                RegDeleteKey(sRegKeyLptEnum, true, HKEY_LOCAL_MACHINE);
                sRegKeyLptEnum = s_szRegKeyLptEnum + sDeviceId;
                if (sRegKeyLptEnum.empty())
                {
                    REPORT_FAILURE("sRegKeyLptEnum.empty()");
                    break;
                }
                RegDeleteKey(sRegKeyLptEnum, true, HKEY_LOCAL_MACHINE);

                const CQvCiString sDeviceParentKey = DeleteUsbDeviceKeys(sDeviceId);
                if (!sDeviceParentKey.empty() &&
                    RegIsKeyEmpty(sDeviceParentKey, false, HKEY_LOCAL_MACHINE))
                {
                    RegDeleteKey(sDeviceParentKey, true, HKEY_LOCAL_MACHINE);
                    g_LogFile.LogMessage(0, "Deleted Key: %s", sDeviceParentKey.c_str());
                }
            }

            RegDeleteKey(sRegKeyFactory, true, HKEY_LOCAL_MACHINE);
            if (RegIsKeyEmpty(g_sRegKeyFactory, false, HKEY_LOCAL_MACHINE))
            {
                RegDeleteKey(g_sRegKeyFactory, false, HKEY_LOCAL_MACHINE);
            }
            RegDeleteKey(g_sRegKey1284PnP, true, HKEY_LOCAL_MACHINE);
        }

        const CQvCiString sRegKeyC32 = g_sRegKeyCompany + "\\qvf\\C32";
        if (RegKeyExists(sRegKeyC32, HKEY_LOCAL_MACHINE))
        {
            RegDeleteKey(sRegKeyC32, true, HKEY_LOCAL_MACHINE);
            g_LogFile.LogMessage(0, "Deleted Key: %s", sRegKeyC32.c_str());
        }
        RegDeleteKey(g_sRegKeyLegacy, true, HKEY_LOCAL_MACHINE);

        // The accessory flags may live under either root, depending on who
        // wrote them.
        CQvCiString sRegKeyAccessoryFlags = g_sRegKeyAccessoryFlags + "\\" + sDriverName;
        if (sRegKeyAccessoryFlags.empty())
        {
            REPORT_FAILURE("sRegKeyAccessoryFlags.empty()");
            break;
        }
        RegDeleteKey(sRegKeyAccessoryFlags, true, HKEY_LOCAL_MACHINE);
        if (RegIsKeyEmpty(g_sRegKeyAccessoryFlags, false, HKEY_LOCAL_MACHINE))
        {
            RegDeleteKey(g_sRegKeyAccessoryFlags, false, HKEY_LOCAL_MACHINE);
        }
        sRegKeyAccessoryFlags = g_sRegKeyAccessoryFlags + "\\" + sDriverName;
        if (sRegKeyAccessoryFlags.empty())
        {
            REPORT_FAILURE("sRegKeyAccessoryFlags.empty()");
            break;
        }
        RegDeleteKey(sRegKeyAccessoryFlags, true, HKEY_CURRENT_USER);
        if (RegIsKeyEmpty(g_sRegKeyAccessoryFlags, false, HKEY_CURRENT_USER))
        {
            RegDeleteKey(g_sRegKeyAccessoryFlags, false, HKEY_CURRENT_USER);
        }

        // A factory-preloaded machine keeps its driver setup for the Vesk.
        CQvCiString sFactoryPreloaded;
        RegGetStringValue(g_sRegKeyVesk, g_sRegVnFactoryPreloaded, &sFactoryPreloaded, true,
                          HKEY_LOCAL_MACHINE);
        if (sFactoryPreloaded.compare("true") == 0)
        {
            fSucceeded = true;
            break;
        }

        const CQvCiString sRegKeyVeskDriver = g_sRegKeyVesk + "\\" + sDriverName;
        if (sRegKeyVeskDriver.empty())
        {
            REPORT_FAILURE("sRegKeyVeskDriver.empty()");
            break;
        }
        if (RegSetStringValue(sRegKeyVeskDriver, g_sSwitchRegistryCleanup, "false", true,
                              HKEY_LOCAL_MACHINE) == false)
        {
            REPORT_FAILURE(
                "RegSetStringValue( sRegKeyVeskDriver, g_sSwitchRegistryCleanup, \"false\" ) == "
                "false");
            break;
        }
        fSucceeded = true;
    } while (false);

    if (fSucceeded)
    {
        g_LogFile.LogMessage(0, "CleanupRegistry (%s) Successful", sDriverName.c_str());
    }
    else
    {
        g_LogFile.LogMessage(0, "CleanupRegistry (%s) Failed",
                             sDriverName.empty() ? "NULL" : sDriverName.c_str());
    }
    return fSucceeded;
}
