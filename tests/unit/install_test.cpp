// The install: the accessory flags decided from the settings and the OS
// class, and what each failing platform call leaves behind.
#include <winspool.h>

#include <cstdio>
#include <string>

#include "morix_install.h"
#include "morix_test_util.h"

namespace
{

using morix_test::kInstall;
using morix_test::kRegistry;
using morix_test::kUtils;
using morix_test::Lines;
using morix_test::MorixTest;
using morix_test::Report;

const char kConfigKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVKR Printing System Config";
const char kDriverFlagsKey[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVKR Printing System Config\\Model 12";
const char kVeskKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk";
const char kVeskDriverKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12";

// The ten per-driver flags in the order they are written.
const struct
{
    const char* pszValueName;
    const char* pszFailure;
} kDriverFlags[10] = {
    {"QVKREnablePrintPreviewer", "RegSetDwordValue( sRegKeyAccessoryFlags, "
                                 "g_sRegVnEnablePrintPreviewer, dwEnablePrintPreviewer ) == false"},
    {"QVKREnablePrinterServices",
     "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnablePrinterServices, "
     "dwEnablePrinterServices ) == false"},
    {"QVKREnableStatusClient", "RegSetDwordValue( sRegKeyAccessoryFlags, "
                               "g_sRegVnEnableStatusClient, dwEnableStatusClient ) == false"},
    {"QVKREnableStatusServer", "RegSetDwordValue( sRegKeyAccessoryFlags, "
                               "g_sRegVnEnableStatusServer, dwEnableStatusServer ) == false"},
    {"QVKREnableQVIO",
     "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnableQvIo, dwEnableQvIo ) == false"},
    {"QVKRPrinterServicesOneTab",
     "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnPrinterServicesOneTab, "
     "dwPrinterServicesOneTab ) == false"},
    {"QVKREnableStatusWindow", "RegSetDwordValue( sRegKeyAccessoryFlags, "
                               "g_sRegVnEnableStatusWindow, dwEnableStatusWindow ) == false"},
    {"QVKRPPUITabs",
     "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnPpuiTabs, dwPPUITabs ) == false"},
    {"QVKREnableCIO",
     "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnableCIO, dwEnableCIO ) == false"},
    {"QVKREnableBrimzel",
     "RegSetDwordValue( sRegKeyAccessoryFlags, g_sRegVnEnableBrimzel, dwEnableBrimzel ) == false"},
};

Lines Summary(bool fNetwork, bool fLocalization, bool fCio, bool fBrimzel)
{
    auto Text = [](bool f) { return std::string(f ? "true" : "false"); };
    return {"NetworkInstall = " + Text(fNetwork), "Localization= " + Text(fLocalization),
            "CIOSupport = " + Text(fCio), "BrimzelSupport = " + Text(fBrimzel)};
}

Lines Join(Lines vsFirst, const Lines& vsSecond)
{
    vsFirst.insert(vsFirst.end(), vsSecond.begin(), vsSecond.end());
    return vsFirst;
}

std::string DwordLine(const std::string& sKey, const std::string& sName, DWORD dwValue, int nStatus)
{
    char szValue[16];
    snprintf(szValue, sizeof szValue, "0x%08x", static_cast<unsigned int>(dwValue));
    return "RegSetDwordValue (" + sKey + ", " + sName + ", " + szValue +
           ") Failed, lResult = " + std::to_string(nStatus);
}

class InstallTest : public MorixTest
{
protected:
    // The lines of the settings lookups on a machine without the
    // configuration key and without settings.
    static Lines Lookups()
    {
        return {Report(kUtils, "sCmdLine.empty()"), Report(kRegistry, "lResult != ERROR_SUCCESS"),
                Report(kUtils, "sCmdLine.empty()"), Report(kUtils, "sCmdLine.empty()")};
    }

    void ExpectFlags(const DWORD adwExpected[10], int nWritten = 10)
    {
        for (int i = 0; i < 10; ++i)
        {
            DWORD dwValue = 0xdeadbeef;
            bool fPresent = GetDword(kDriverFlagsKey, kDriverFlags[i].pszValueName, &dwValue);
            EXPECT_EQ(i < nWritten, fPresent) << kDriverFlags[i].pszValueName;
            if (fPresent)
            {
                EXPECT_EQ(adwExpected[i], dwValue) << kDriverFlags[i].pszValueName;
            }
        }
    }
};

TEST_F(InstallTest, FlagsFollowSettingsAndVersion)
{
    const struct
    {
        const char* pszName;
        const char* pszVersion;
        const char* pszSettings; // values of the driver's Vesk key
        const char* pszLocalization;
        bool afInputs[4];
        Lines vsDecisionLines;
        DWORD adwFlags[10]; // Preview Services Client Server QvIo OneTab Window Tabs CIO Brimzel
    } aCases[] = {
        {"XP, nothing set",
         "winxp",
         "",
         nullptr,
         {false, false, false, false},
         {"Enabling QVKR Printing Registry Settings....."},
         {1, 1, 1, 0, 0, 0, 1, 3, 0, 0}},
        {"98, nothing set",
         "win98",
         "",
         nullptr,
         {false, false, false, false},
         {"WinME: Enabled QvIo and StatusServer", "Enabling QVKR Printing Registry Settings....."},
         {1, 1, 1, 1, 1, 0, 1, 3, 0, 0}},
        {"Me, network install",
         "winme",
         "\"NetworkInstall\"=\"TRUE\"",
         nullptr,
         {true, false, false, false},
         {},
         {0, 1, 0, 0, 0, 1, 0, 3, 0, 0}},
        {"2000, network install with CIO",
         "win2k",
         "\"NetworkInstall\"=\"true\"\n\"CIOSupport\"=\"True\"",
         nullptr,
         {true, false, true, false},
         {"Enabling QVKR Printing Registry Settings.....", "Enabled CIO"},
         {1, 1, 1, 0, 0, 0, 1, 3, 1, 0}},
        {"95, localization",
         "win95",
         "",
         "tRUE",
         {false, true, false, false},
         {"Enabling QVKR Printing Registry Settings....."},
         {1, 1, 1, 0, 0, 0, 1, 3, 0, 0}},
        {"NT4, Brimzel, network text with a blank",
         "nt40",
         "\"NetworkInstall\"=\"true \"\n\"BrimzelSupport\"=\"TRUE\"",
         "yes",
         {false, false, false, true},
         {"Enabling QVKR Printing Registry Settings....."},
         {1, 1, 1, 0, 0, 0, 1, 3, 0, 1}},
        {"98, network install with localization",
         "win98",
         "\"NetworkInstall\"=\"true\"",
         "true",
         {true, true, false, false},
         {"Enabling QVKR Printing Registry Settings....."},
         {1, 1, 1, 0, 0, 0, 1, 3, 0, 0}},
        {"98, CIO only",
         "win98",
         "\"CIOSupport\"=\"true\"\n\"BrimzelSupport\"=\"1\"",
         nullptr,
         {false, false, true, false},
         {"Enabling QVKR Printing Registry Settings.....", "Enabled CIO"},
         {1, 1, 1, 0, 0, 0, 1, 3, 1, 0}},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        TearDown();
        SetUp();
        SetVersion(c.pszVersion);
        Import(std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12]\n") +
               c.pszSettings);
        if (c.pszLocalization)
            Import(std::string("[") + kConfigKey + "]\n\"QVKRLocalization\"=\"" +
                   c.pszLocalization + "\"");
        EXPECT_TRUE(InstallHelper("Model 12"));

        Lines vsExpected = {Report(kUtils, "sCmdLine.empty()")};
        if (c.afInputs[0])
            vsExpected.push_back("Processing Network Install...");
        if (!c.pszLocalization)
            vsExpected.push_back(Report(kRegistry, "lResult != ERROR_SUCCESS"));
        if (c.afInputs[1])
            vsExpected.push_back("Setting up for Localization...");
        vsExpected.push_back(Report(kUtils, "sCmdLine.empty()"));
        if (c.afInputs[2])
            vsExpected.push_back("Setting up CIO Support...");
        vsExpected.push_back(Report(kUtils, "sCmdLine.empty()"));
        if (c.afInputs[3])
            vsExpected.push_back("Setting up Brimzel Support...");
        vsExpected = Join(Join(vsExpected, c.vsDecisionLines),
                          Summary(c.afInputs[0], c.afInputs[1], c.afInputs[2], c.afInputs[3]));
        EXPECT_EQ(vsExpected, LogLines());
        ExpectFlags(c.adwFlags);

        DWORD dwValue = 0xdeadbeef;
        EXPECT_TRUE(GetDword(kConfigKey, "QVKREnableTaskbarUtility", &dwValue));
        EXPECT_EQ(0u, dwValue);
        EXPECT_TRUE(GetDword(kVeskKey, "VeskInstall", &dwValue));
        EXPECT_EQ(1u, dwValue);
        EXPECT_TRUE(GetDword(kVeskDriverKey, "SetupRan", &dwValue));
        EXPECT_EQ(1u, dwValue);
        EXPECT_EQ(2, winsim::CallCount("EnumPortsA"));
        EXPECT_EQ(0, winsim::OpenKeyCount());
    }
}

TEST_F(InstallTest, UnknownVersionWritesNoFlag)
{
    winsim::FailCall("GetVersionExA", 1, ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(InstallHelper("Model 12"));
    EXPECT_EQ(Join(Join(Lookups(), {Report(kUtils, "GetVersionEx( &tOsVersion ) == 0"),
                                    Report(kInstall, "eOsVersion == OsVersionType_Unknown")}),
                   Join(Summary(false, false, false, false),
                        {Report(kInstall, "SetAccessoryFlags( sDriverName ) == false")})),
              LogLines());
    EXPECT_FALSE(winsim::KeyExists(kConfigKey));
    EXPECT_EQ(0, winsim::CallCount("EnumPortsA"));
    DWORD dwValue = 0;
    EXPECT_TRUE(GetDword(kVeskKey, "VeskInstall", &dwValue));
    EXPECT_TRUE(GetDword(kVeskDriverKey, "SetupRan", &dwValue));
}

TEST_F(InstallTest, EmptyDriverName)
{
    EXPECT_FALSE(InstallHelper(""));
    EXPECT_FALSE(SetAccessoryFlags(""));
    EXPECT_EQ(
        Join({Report(kInstall, "sDriverName.empty()"), Report(kInstall, "sDriverName.empty()")},
             Summary(false, false, false, false)),
        LogLines());
    EXPECT_EQ(0, winsim::CallCount("RegCreateKeyExA"));
}

TEST_F(InstallTest, TaskbarWriteFailing)
{
    // Writes: VeskInstall (1), SetupRan (2), the taskbar flag (3), then the ten.
    winsim::FailCall("RegSetValueExA", 3, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(InstallHelper("Model 12"));
    EXPECT_EQ(
        Join(Join(Lookups(),
                  {"Enabling QVKR Printing Registry Settings.....",
                   Report(kRegistry, "lResult != ERROR_SUCCESS"),
                   DwordLine("SOFTWARE\\Brenmoor\\QVKR Printing System Config",
                             "QVKREnableTaskbarUtility", 0, 5),
                   Report(kInstall, "RegSetDwordValue( g_sRegKeyAccessoryFlags, "
                                    "g_sRegVnEnableTaskbarUtility, dwEnableTaskbarUtility ) == "
                                    "false")}),
             Join(Summary(false, false, false, false),
                  {Report(kInstall, "SetAccessoryFlags( sDriverName ) == false")})),
        LogLines());
    EXPECT_FALSE(winsim::KeyExists(kDriverFlagsKey));
    EXPECT_EQ(0, winsim::CallCount("EnumPortsA"));
}

TEST_F(InstallTest, EachDriverFlagWriteFailing)
{
    const DWORD adwOn98[10] = {1, 1, 1, 1, 1, 0, 1, 3, 0, 0};
    for (int iFailing = 0; iFailing < 10; ++iFailing)
    {
        SCOPED_TRACE(kDriverFlags[iFailing].pszValueName);
        TearDown();
        SetUp();
        SetVersion("win98");
        winsim::FailCall("RegSetValueExA", 4 + iFailing, ERROR_ACCESS_DENIED);
        EXPECT_FALSE(InstallHelper("Model 12"));
        EXPECT_EQ(Join(Join(Lookups(),
                            {"WinME: Enabled QvIo and StatusServer",
                             "Enabling QVKR Printing Registry Settings.....",
                             Report(kRegistry, "lResult != ERROR_SUCCESS"),
                             DwordLine("SOFTWARE\\Brenmoor\\QVKR Printing System Config\\Model 12",
                                       kDriverFlags[iFailing].pszValueName, adwOn98[iFailing], 5),
                             Report(kInstall, kDriverFlags[iFailing].pszFailure)}),
                       Join(Summary(false, false, false, false),
                            {Report(kInstall, "SetAccessoryFlags( sDriverName ) == false")})),
                  LogLines());
        ExpectFlags(adwOn98, iFailing);
        EXPECT_EQ(0, winsim::CallCount("EnumPortsA"));
        EXPECT_EQ(0, winsim::OpenKeyCount());
    }
}

TEST_F(InstallTest, FailedMarksAndPortEnumerationDoNotStopTheInstall)
{
    const struct
    {
        const char* pszName;
        const char* pszFunction;
        int nNth;
        Lines vsFirst;
        int nPortCalls;
    } aCases[] = {
        {"VeskInstall",
         "RegCreateKeyExA",
         1,
         {Report(kRegistry, "lResult != ERROR_SUCCESS"),
          DwordLine("SOFTWARE\\Brenmoor\\QVZ\\Vesk", "VeskInstall", 1, 5)},
         2},
        {"SetupRan",
         "RegSetValueExA",
         2,
         {Report(kRegistry, "lResult != ERROR_SUCCESS"),
          DwordLine("SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12", "SetupRan", 1, 5)},
         2},
        {"port size query", "EnumPortsA", 1, {}, 2},
        {"port list", "EnumPortsA", 2, {}, 2},
    };
    const DWORD adwOnXp[10] = {1, 1, 1, 0, 0, 0, 1, 3, 0, 0};
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        TearDown();
        SetUp();
        winsim::FailCall(c.pszFunction, c.nNth, ERROR_ACCESS_DENIED);
        EXPECT_TRUE(InstallHelper("Model 12"));
        EXPECT_EQ(
            Join(Join(c.vsFirst, Lookups()), Join({"Enabling QVKR Printing Registry Settings....."},
                                                  Summary(false, false, false, false))),
            LogLines());
        ExpectFlags(adwOnXp);
        EXPECT_EQ(c.nPortCalls, winsim::CallCount("EnumPortsA"));
    }
}

// Fills the machine's port list so that the level-2 port records need exactly
// cbNeeded bytes.
void MakePortsNeeding(size_t cbNeeded)
{
    const size_t nPorts = 1000;
    const size_t cbFixed =
        nPorts * (sizeof(PORT_INFO_2A) + sizeof("Local Monitor") + sizeof("Local Port"));
    const size_t cbNames = cbNeeded - cbFixed;
    std::string sText =
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n";
    for (size_t i = 0; i < nPorts; ++i)
    {
        size_t cchName = cbNames / nPorts - 1 + (i < cbNames % nPorts ? 1 : 0);
        char szName[16];
        snprintf(szName, sizeof szName, "P%04zu", i);
        sText += "\"" + (szName + std::string(cchName - 5, 'x')) + "\"=\"\"\n";
    }
    std::string sError;
    ASSERT_TRUE(winsim::ImportReg("REGEDIT4\n\n" + sText, &sError)) << sError;
    DWORD cbReported = 0;
    DWORD nReported = 0;
    EnumPortsA(nullptr, 2, nullptr, 0, &cbReported, &nReported);
    ASSERT_EQ(cbNeeded, cbReported) << "the port list is not the size the test needs";
}

TEST_F(InstallTest, PortListsOf65535BytesAreNotFetched)
{
    const struct
    {
        size_t cbNeeded;
        int nCalls;
    } aCases[] = {{65534, 2}, {65535, 1}, {70000, 1}};
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.cbNeeded);
        TearDown();
        SetUp();
        MakePortsNeeding(c.cbNeeded);
        int nBefore = winsim::CallCount("EnumPortsA");
        EXPECT_EQ(c.nCalls == 2, EnumerateLocalPorts());
        EXPECT_EQ(c.nCalls, winsim::CallCount("EnumPortsA") - nBefore);
        nBefore = winsim::CallCount("EnumPortsA");
        EXPECT_TRUE(InstallHelper("Model 12"));
        EXPECT_EQ(c.nCalls, winsim::CallCount("EnumPortsA") - nBefore);
    }
}

} // namespace
