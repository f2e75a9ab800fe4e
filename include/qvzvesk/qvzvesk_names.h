// The vocabulary the Morix shares with the Vesk and its other components:
// registry key paths and value names, parameter names, component file names
// and folder names. Inline variables give one instance each, and a composite
// is always initialised after the parts it is built from.
#pragma once

#include "qvzvesk_string.h"

// Registry key paths, without a root.
inline const CQvCiString g_sRegKeySoftware = "SOFTWARE";
inline const CQvCiString g_sRegKeyCompany = g_sRegKeySoftware + "\\Brenmoor";
inline const CQvCiString g_sRegKeyQvz = g_sRegKeyCompany + "\\QVZ";
inline const CQvCiString g_sRegKeyVesk = g_sRegKeyQvz + "\\Vesk";
inline const CQvCiString g_sRegKeyCoInstaller = g_sRegKeyVesk + "\\CoInstaller";

// Registry value names.
inline const CQvCiString g_sRegVnStatusCode = "StatusCode";
inline const CQvCiString g_sRegVnCmdLine = "CmdLine";
inline const CQvCiString g_sRegVnVeskPath = "VeskPath";
inline const CQvCiString g_sRegVnVeskName = "VeskName";
inline const CQvCiString g_sRegVnProduct = "Product";
inline const CQvCiString g_sRegVnPort = "Port";
inline const CQvCiString g_sRegVnPrinterFriendlyName = "PrinterFriendlyName";
inline const CQvCiString g_sRegVnInfId = "InfID";

// Parameter names: on the command line, or as value names under the driver's
// Vesk key when the command line lacks them.
inline const CQvCiString g_sSwitchPinTimeout = "pintimeout";
inline const CQvCiString g_sSwitchMorixTimeout = "morixtimeout";
inline const CQvCiString g_sSwitchPrinterDriver = "printerdriver";
inline const CQvCiString g_sSwitchProduct = "product";
inline const CQvCiString g_sSwitchPort = "port";
inline const CQvCiString g_sSwitchPinPathname = "pinpathname";
inline const CQvCiString g_sSwitchMorixPathname = "morixpathname";
inline const CQvCiString g_sSwitchPdiPathname = "pdipathname";
inline const CQvCiString g_sSwitchRunPin = "runpin";
inline const CQvCiString g_sSwitchRunMorix = "runmorix";
inline const CQvCiString g_sSwitchRunPdi = "runpdi";
inline const CQvCiString g_sSwitchLanguagePath = "languagepath";
inline const CQvCiString g_sSwitchLanguageDir = "languagedir";
inline const CQvCiString g_sSwitchDriversDir = "driversdir";
inline const CQvCiString g_sSwitchOsPath = "ospath";
inline const CQvCiString g_sSwitchOsDir = "osdir";
inline const CQvCiString g_sSwitchInfPath = "infpath";
inline const CQvCiString g_sSwitchInfPathname = "infpathname";
inline const CQvCiString g_sSwitchCoRunPin = "corunpin";
inline const CQvCiString g_sSwitchCoRunPdi = "corunpdi";
inline const CQvCiString g_sSwitchUninstall = "uninstall";
inline const CQvCiString g_sSwitchPduPathname = "pdupathname";
inline const CQvCiString g_sSwitchRunPdu = "runpdu";
inline const CQvCiString g_sSwitchInfCleanup = "infcleanup";
inline const CQvCiString g_sSwitchRegistryCleanup = "registrycleanup";
inline const CQvCiString g_sSwitchDriverFilesCleanup = "driverfilescleanup";
inline const CQvCiString g_sSwitchScrubberPathname = "scrubberpathname";
inline const CQvCiString g_sSwitchServiceRunning = "servicerunning";
inline const CQvCiString g_sSwitchQvRegistry = "qvregistry";
inline const CQvCiString g_sSwitchStatusCode = "statuscode";

// Component file names: base name, version, extension.
inline const CQvCiString g_sFileVersion = "14";
inline const CQvCiString g_sFilePnpDll = "qvzpnp" + g_sFileVersion + ".dll";
inline const CQvCiString g_sFileVeskExe = "qvzvsk" + g_sFileVersion + ".exe";
inline const CQvCiString g_sFilePinExe = "qvzpin" + g_sFileVersion + ".exe";
inline const CQvCiString g_sFileMorixExe = "qvzmrx" + g_sFileVersion + ".exe";
inline const CQvCiString g_sFilePdiExe = "qvfpdi" + g_sFileVersion + ".exe";
inline const CQvCiString g_sFileConDll = "qvzcon" + g_sFileVersion + ".dll";
inline const CQvCiString g_sFileFacDll = "qvzfac" + g_sFileVersion + ".dll";
inline const CQvCiString g_sFileScrDll = "qvzscr" + g_sFileVersion + ".dll";
inline const CQvCiString g_sFileTsbExe = "qvztsb" + g_sFileVersion + ".exe";
inline const CQvCiString g_sFileTbuExe = "qvztbu" + g_sFileVersion + ".exe";
inline const CQvCiString g_sFileTbiDll = "qvztbi" + g_sFileVersion + ".dll";
inline const CQvCiString g_sFileVeskExeAlias = g_sFileVeskExe;
inline const CQvCiString g_sFileConDllAlias = g_sFileConDll;

// Folder names.
inline const CQvCiString g_sDirUtil = "util";
inline const CQvCiString g_sDirCommon = "common";
inline const CQvCiString g_sDirDrivers = "drivers";
inline const CQvCiString g_sDirWin9xMe = "Win9x_ME";
inline const CQvCiString g_sDirWinNt = "Win_NT";
inline const CQvCiString g_sDirWin2kXp = "Win2K_XP";
