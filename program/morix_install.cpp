#include "morix_install.h"

#include <windows.h>
#include <winspool.h>

#include <new>

#include "qvzvesk/qvzvesk_log.h"
#include "qvzvesk/qvzvesk_printing_names.h"
#include "qvzvesk/qvzvesk_registry.h"
#include "qvzvesk/qvzvesk_utils.h"

static const char s_szSourcePath[] = "..\\morix_install.cpp";

// Port lists this large are refused rather than fetched.
static const DWORD s_cbMaxPortInfo = 0xFFFF;

bool InstallHelper(const CQvCiString& sDriverName)
{
    if (sDriverName.empty())
    {
        REPORT_FAILURE("sDriverName.empty()");
        return false;
    }
    // The marks tell the Vesk that this run happened, whatever comes of the
    // flags, so their results are not looked at.
    RegSetDwordValue(g_sRegKeyVesk, g_sRegVnVeskInstall, 1, true, HKEY_LOCAL_MACHINE);
    RegSetDwordValue(g_sRegKeyVesk + "\\" + sDriverName, g_sRegVnSetupRan, 1, true,
                     HKEY_LOCAL_MACHINE);
    if (SetAccessoryFlags(sDriverName) == false)
    {
        REPORT_FAILURE("SetAccessoryFlags( sDriverName ) == false");
        return false;
    }
    EnumerateLocalPorts();
    return true;
}

namespace
{
// One per-driver flag: its value name, its value and the condition text that
// reports its failed write.
struct DriverFlag
{
    const CQvCiString& sValueName;
    DWORD dwValue;
    const char* pszFailure;
};
} // namespace

bool SetAccessoryFlags(const CQvCiString& sDriverName)
{
    // Every setting is "false" until read otherwise, so a missing or
    // unreadable one counts as not set.
    CQvCiString sNetworkInstall = "false";
    CQvCiString sLocalization = "false";
    CQvCiString sCioSupport = "false";
    CQvCiString sBrimzelSupport = "false";
    bool fNetworkInstall = false;
    bool fLocalization = false;
    bool fCioSupport = false;
    bool fBrimzelSupport = false;

    DWORD dwEnableTaskbarUtility = 0;
    DWORD dwEnablePrintPreviewer = 0;
    DWORD dwEnablePrinterServices = 1;
    DWORD dwEnableStatusClient = 0;
    DWORD dwEnableStatusServer = 0;
    DWORD dwEnableQvIo = 0;
    DWORD dwPrinterServicesOneTab = 1;
    DWORD dwEnableStatusWindow = 0;
    DWORD dwPPUITabs = 3;
    DWORD dwEnableCIO = 0;
    DWORD dwEnableBrimzel = 0;

    bool fResult = false;
    do
    {
        if (sDriverName.empty())
        {
            REPORT_FAILURE("sDriverName.empty()");
            break;
        }

        // The settings come from the driver's Vesk key only: the command line
        // passed is empty on purpose.
        const CQvCiString sNoCmdLine;
        if (GetParameter(sNoCmdLine, sDriverName, g_sRegVnNetworkInstall, &sNetworkInstall) &&
            sNetworkInstall.compare("true") == 0)
        {
            fNetworkInstall = true;
            g_LogFile.LogMessage(0, "Processing Network Install...");
        }
        RegGetStringValue(g_sRegKeyAccessoryFlags, g_sRegVnLocalization, &sLocalization, false,
                          HKEY_LOCAL_MACHINE);
        if (sLocalization.compare("true") == 0)
        {
            fLocalization = true;
            g_LogFile.LogMessage(0, "Setting up for Localization...");
        }
        if (GetParameter(sNoCmdLine, sDriverName, g_sRegVnCioSupport, &sCioSupport) &&
            sCioSupport.compare("true") == 0)
        {
            fCioSupport = true;
            g_LogFile.LogMessage(0, "Setting up CIO Support...");
        }
        if (GetParameter(sNoCmdLine, sDriverName, g_sRegVnBrimzelSupport, &sBrimzelSupport) &&
            sBrimzelSupport.compare("true") == 0)
        {
            fBrimzelSupport = true;
            dwEnableBrimzel = 1;
            g_LogFile.LogMessage(0, "Setting up Brimzel Support...");
        }

        OsVersionType eOsVersion = GetOsVersion();
        if (eOsVersion == OsVersionType_Unknown)
        {
            REPORT_FAILURE("eOsVersion == OsVersionType_Unknown");
            break;
        }

        if (eOsVersion <= OsVersionType_WinME && !fNetworkInstall && !fLocalization && !fCioSupport)
        {
            dwEnableStatusServer = 1;
            dwEnableQvIo = 1;
            g_LogFile.LogMessage(0, "WinME: Enabled QvIo and StatusServer");
        }
        if (!(fNetworkInstall && !fLocalization && !fCioSupport))
        {
            g_LogFile.LogMessage(0, "Enabling QVKR Printing Registry Settings.....");
            dwPrinterServicesOneTab = 0;
            dwEnablePrintPreviewer = 1;
            dwEnableStatusClient = 1;
            dwEnableStatusWindow = 1;
            if (fCioSupport)
            {
                dwEnableCIO = 1;
                g_LogFile.LogMessage(0, "Enabled CIO");
            }
        }

        if (RegSetDwordValue(g_sRegKeyAccessoryFlags, g_sRegVnEnableTaskbarUtility,
                             dwEnableTaskbarUtility, true, HKEY_LOCAL_MACHINE) == false)
        {
            REPORT_FAILURE("RegSetDwordValue( g_sRegKeyAccessoryFlags, "
                           "g_sRegVnEnableTaskbarUtility, dwEnableTaskbarUtility ) == false");
            break;
        }

        const CQvCiString sRegKeyAccessoryFlags = g_sRegKeyAccessoryFlags + "\\" + sDriverName;
        const DriverFlag atFlags[] = {
            {g_sRegVnEnablePrintPreviewer, dwEnablePrintPreviewer,
             "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnablePrintPreviewer, "
             "dwEnablePrintPreviewer ) == false"},
            {g_sRegVnEnablePrinterServices, dwEnablePrinterServices,
             "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnablePrinterServices, "
             "dwEnablePrinterServices ) == false"},
            {g_sRegVnEnableStatusClient, dwEnableStatusClient,
             "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnableStatusClient, "
             "dwEnableStatusClient ) == false"},
            {g_sRegVnEnableStatusServer, dwEnableStatusServer,
             "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnableStatusServer, "
             "dwEnableStatusServer ) == false"},
            {g_sRegVnEnableQvIo, dwEnableQvIo,
             "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnableQvIo, dwEnableQvIo ) == "
             "false"},
            {g_sRegVnPrinterServicesOneTab, dwPrinterServicesOneTab,
             "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnPrinterServicesOneTab, "
             "dwPrinterServicesOneTab ) == false"},
            {g_sRegVnEnableStatusWindow, dwEnableStatusWindow,
             "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnableStatusWindow, "
             "dwEnableStatusWindow ) == false"},
            {g_sRegVnPpuiTabs, dwPPUITabs,
             "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnPpuiTabs, dwPPUITabs ) == false"},
            {g_sRegVnEnableCIO, dwEnableCIO,
             "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnableCIO, dwEnableCIO ) == false"},
            {g_sRegVnEnableBrimzel, dwEnableBrimzel,
             "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnableBrimzel, dwEnableBrimzel ) "
             "== false"},
        };
        bool fAllWritten = true;
        for (const DriverFlag& tFlag : atFlags)
        {
            if (RegSetDwordValue(sRegKeyAccessoryFlags, tFlag.sValueName, tFlag.dwValue, true,
                                 HKEY_LOCAL_MACHINE) == false)
            {
                REPORT_FAILURE(tFlag.pszFailure);
                fAllWritten = false;
                break;
            }
        }
        fResult = fAllWritten;
    } while (false);

    g_LogFile.LogMessage(0, "NetworkInstall = %s", fNetworkInstall ? "true" : "false");
    g_LogFile.LogMessage(0, "Localization= %s", fLocalization ? "true" : "false");
    g_LogFile.LogMessage(0, "CIOSupport = %s", fCioSupport ? "true" : "false");
    g_LogFile.LogMessage(0, "BrimzelSupport = %s", fBrimzelSupport ? "true" : "false");
    return fResult;
}

bool EnumerateLocalPorts()
{
    DWORD cbNeeded = 0;
    DWORD nPorts = 0;
    EnumPortsA(0, 2, 0, 0, &cbNeeded, &nPorts);
    if (cbNeeded >= s_cbMaxPortInfo)
    {
        return false;
    }
    BYTE* pbPortInfo = new (std::nothrow) BYTE[cbNeeded];
    if (pbPortInfo == 0)
    {
        return false;
    }
    BOOL fEnumerated = EnumPortsA(0, 2, pbPortInfo, cbNeeded, &cbNeeded, &nPorts);
    delete[] pbPortInfo;
    return fEnumerated != FALSE;
}
