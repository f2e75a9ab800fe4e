#include "morix_uninstall.h"

#include "qvzvesk/qvzvesk_log.h"
#include "qvzvesk/qvzvesk_names.h"

static const char s_szSourcePath[] = "..\\morix_uninstall.cpp";

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

// The composites below are built from inline constants of the shared headers,
// which are initialised before anything defined after their inclusion.

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
