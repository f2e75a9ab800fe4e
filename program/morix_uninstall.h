// The uninstall: tell the component library about each printer of the
// driver, then remove what the driver left in the registry.
#pragma once

#include "qvzvesk/qvzvesk_string.h"

bool UninstallHelper(const CQvCiString& sDriverName);
bool ComponentUninstall(const CQvCiString& sDriverName);
bool CleanupRegistry(const CQvCiString& sDriverName);

// Names only the uninstall uses.
extern const CQvCiString g_sRegVnFactoryPreloaded;
extern const CQvCiString g_sRegKeyCurrentVersion;
extern const CQvCiString g_sRegKeyLegacy;
extern const CQvCiString g_sRegVnPreloadPath;
extern const CQvCiString g_sRegVnPreloadModels;
extern const CQvCiString g_sRegVnEregPathname;
extern const CQvCiString g_sRegVnEregedModels;
extern const CQvCiString g_sRegVnRunPreloadInstaller;
extern const CQvCiString g_sRegVnPreloadInstallerSwitches;
extern const CQvCiString g_sRegVnOverrideLanguage;
extern const CQvCiString g_sRegVnDefaultPrinter;
extern const CQvCiString g_sRegVnVeskResult;
extern const CQvCiString g_sNameVeskRan;
extern const CQvCiString g_sNameVeskInstalledDriver;
extern const CQvCiString g_sNameVeskFinished;
extern const CQvCiString g_sNameInstallerRunning;
extern const CQvCiString g_sNameInstallationInitializing;
extern const CQvCiString g_sFileSetupExe;
