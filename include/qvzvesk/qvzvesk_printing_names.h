// Registry keys and values of the printing system: the Vesk's install marks,
// the driver settings and the accessory flags of each driver.
#pragma once

#include "qvzvesk_names.h"

inline const CQvCiString g_sRegKeyAccessoryFlags =
    g_sRegKeyCompany + "\\QVKR Printing System Config";
inline const CQvCiString g_sRegKeyFactory = g_sRegKeyVesk + "\\Factory";
inline const CQvCiString g_sRegKey1284PnP = g_sRegKeyVesk + "\\1284PnP";
inline const CQvCiString g_sRegVnVeskInstall = "VeskInstall";
inline const CQvCiString g_sRegVnSetupRan = "SetupRan";
inline const CQvCiString g_sRegVnNetworkInstall = "NetworkInstall";
inline const CQvCiString g_sRegVnCioSupport = "CIOSupport";
inline const CQvCiString g_sRegVnBrimzelSupport = "BrimzelSupport";
inline const CQvCiString g_sRegVnKormantId = "KormantID";
inline const CQvCiString g_sRegVnDeviceId = "DeviceID";
inline const CQvCiString g_sRegVnLocalization = "QVKRLocalization";

// The accessory flags, DWORD values.
inline const CQvCiString g_sRegVnEnableTaskbarUtility = "QVKREnableTaskbarUtility";
inline const CQvCiString g_sRegVnEnablePrintPreviewer = "QVKREnablePrintPreviewer";
inline const CQvCiString g_sRegVnEnablePrinterServices = "QVKREnablePrinterServices";
inline const CQvCiString g_sRegVnEnableStatusClient = "QVKREnableStatusClient";
inline const CQvCiString g_sRegVnEnableStatusServer = "QVKREnableStatusServer";
inline const CQvCiString g_sRegVnEnableQvIo = "QVKREnableQVIO";
inline const CQvCiString g_sRegVnEnableCIO = "QVKREnableCIO";
inline const CQvCiString g_sRegVnEnableBrimzel = "QVKREnableBrimzel";
inline const CQvCiString g_sRegVnPrinterServicesOneTab = "QVKRPrinterServicesOneTab";
inline const CQvCiString g_sRegVnEnableStatusWindow = "QVKREnableStatusWindow";
inline const CQvCiString g_sRegVnPpuiTabs = "QVKRPPUITabs";
