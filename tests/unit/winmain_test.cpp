// The entry: argument checks, the choice between install and uninstall, the
// reports of the presence tests and the closing lines.
#include <string>

#include "morix_test_util.h"

namespace
{

using morix_test::kInstall;
using morix_test::kMain;
using morix_test::kRegistry;
using morix_test::kUninstall;
using morix_test::kUtils;
using morix_test::Lines;
using morix_test::MorixTest;
using morix_test::Report;

char g_szProgramPath[] = "C:\\Program Files\\QVZ\\qvzmrx14.exe";
char* g_apszArguments[] = {g_szProgramPath, nullptr};

Lines Closing(const char* pszCmdLine, const char* pszDriver, bool fSucceeded)
{
    return {std::string("Morix Pathname = ") + g_szProgramPath,
            std::string("Command Line = ") + pszCmdLine, std::string("Driver Name = ") + pszDriver,
            fSucceeded ? "The Morix Succeeded" : "The Morix Failed"};
}

Lines Join(Lines vsFirst, const Lines& vsSecond)
{
    vsFirst.insert(vsFirst.end(), vsSecond.begin(), vsSecond.end());
    return vsFirst;
}

class WinMainTest : public MorixTest
{
protected:
    void SetUp() override
    {
        MorixTest::SetUp();
        SetVersion("winxp");
        __argc = 1;
        __argv = g_apszArguments;
    }
    void TearDown() override
    {
        __argc = 0;
        __argv = nullptr;
        MorixTest::TearDown();
    }

    static int Run(const char* pszCmdLine)
    {
        if (!pszCmdLine)
            return WinMain(nullptr, nullptr, nullptr, 1);
        std::string sCopy = pszCmdLine;
        return WinMain(nullptr, nullptr, &sCopy[0], 1);
    }
};

const std::string kNoDriverName = Report(kUtils, "sDriverName.empty()");

const Lines kInstallOnXp = {
    Report(kUtils, "sCmdLine.empty()"),
    Report(kRegistry, "lResult != ERROR_SUCCESS"),
    Report(kUtils, "sCmdLine.empty()"),
    Report(kUtils, "sCmdLine.empty()"),
    "Enabling QVKR Printing Registry Settings.....",
    "NetworkInstall = false",
    "Localization= false",
    "CIOSupport = false",
    "BrimzelSupport = false",
};

const Lines kUninstallOnEmptyXp = {
    Report(kUninstall, "cbNeeded == 0"),
    "ComponentUninstall (Model 12) Failed",
    Report(kRegistry, "lResult != ERROR_SUCCESS"),
    "RegDeleteKey (SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Legacy) Failed, lResult = 0x00000002",
    Report(kRegistry, "lResult != ERROR_SUCCESS"),
    "RegDeleteKey (SOFTWARE\\Brenmoor\\QVKR Printing System Config\\Model 12) Failed, lResult = "
    "0x00000002",
    Report(kRegistry, "lResult != ERROR_SUCCESS"),
    "RegDeleteKey (SOFTWARE\\Brenmoor\\QVKR Printing System Config\\Model 12) Failed, lResult = "
    "0x00000002",
    Report(kRegistry, "lResult != ERROR_SUCCESS"),
    "RegGetStringValue (SOFTWARE\\Brenmoor\\QVZ\\Vesk, FactoryPreloaded) Failed, lResult = 2",
    "CleanupRegistry (Model 12) Successful",
};

TEST_F(WinMainTest, RunsAndTheirLogs)
{
    const struct
    {
        const char* pszName;
        const char* pszCmdLine;
        Lines vsLines;
        bool fRegistryChanged;
    } aCases[] = {
        {"plain install", "-printerdriver=Model 12 -product=X -port=LPT1:",
         Join(Join({kNoDriverName, kNoDriverName}, kInstallOnXp),
              Closing("-printerdriver=Model 12 -product=X -port=LPT1:", "Model 12", true)),
         true},
        {"plain uninstall", "-uninstall=Model 12",
         Join(Join({kNoDriverName, kNoDriverName, kNoDriverName, kNoDriverName},
                   kUninstallOnEmptyXp),
              Closing("-uninstall=Model 12", "Model 12", true)),
         true},
        {"uninstall in capitals", "-UNINSTALL=Model 12",
         Join(Join({kNoDriverName, kNoDriverName, kNoDriverName, kNoDriverName},
                   kUninstallOnEmptyXp),
              Closing("-UNINSTALL=Model 12", "Model 12", true)),
         true},
        {"null argument", nullptr,
         Join({Report(kMain, "lpszCmdLine == 0")}, Closing("NULL", "NULL", false)), false},
        {"empty argument", "",
         Join({Report(kMain, "*lpszCmdLine == '\\0'")}, Closing("NULL", "NULL", false)), false},
        {"status code", "-statuscode=3 -printerdriver=Model 12 -product=X -port=LPT1:",
         Join({"Vesk passed a status code to the Morix", "No recovery implemented -- exiting",
               Report(kMain, "fStatusCodeSet == true")},
              Closing("-statuscode=3 -printerdriver=Model 12 -product=X -port=LPT1:", "NULL",
                      false)),
         false},
        {"neither", "-printerdriver=Model 12 -product=X",
         Join({kNoDriverName, kNoDriverName, kNoDriverName,
               Report(kMain, "(fInstall == false) && (fUninstall == false)")},
              Closing("-printerdriver=Model 12 -product=X", "NULL", false)),
         false},
        {"both", "-printerdriver=Model 12 -product=X -port=LPT1: -uninstall=Model 12",
         Join({kNoDriverName, Report(kMain, "(fInstall == true) && (fUninstall == true)")},
              Closing("-printerdriver=Model 12 -product=X -port=LPT1: -uninstall=Model 12", "NULL",
                      false)),
         false},
        {"empty driver value", "-printerdriver= -product=X -port=Y",
         Join({kNoDriverName, Report(kUtils, "sParameterValue.empty()"), kNoDriverName,
               Report(kMain, "(fInstall == false) && (fUninstall == false)")},
              Closing("-printerdriver= -product=X -port=Y", "NULL", false)),
         false},
        {"backslash in the driver name", "-uninstall=Model 12\\",
         Join({kNoDriverName, kNoDriverName, kNoDriverName, kNoDriverName,
               Report(kMain, "sDriverName.find( '\\\\' ) != CQvCiString::npos")},
              Closing("-uninstall=Model 12\\", "Model 12\\", false)),
         false},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        TearDown();
        SetUp();
        const std::string sRegistryBefore = winsim::ExportReg();
        EXPECT_EQ(0, Run(c.pszCmdLine));
        EXPECT_EQ(c.vsLines, LogLines());
        EXPECT_EQ(c.fRegistryChanged, winsim::ExportReg() != sRegistryBefore);
        EXPECT_EQ(0, winsim::OpenKeyCount());
    }
}

TEST_F(WinMainTest, PlainRunsLeaveTheirCountOfPresenceReports)
{
    const struct
    {
        const char* pszCmdLine;
        int nReports;
    } aCases[] = {
        {"-printerdriver=Model 12 -product=X -port=LPT1:", 2},
        {"-uninstall=Model 12", 4},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszCmdLine);
        TearDown();
        SetUp();
        EXPECT_EQ(0, Run(c.pszCmdLine));
        int nReports = 0;
        for (const std::string& sLine : LogLines())
            nReports += sLine == kNoDriverName ? 1 : 0;
        EXPECT_EQ(c.nReports, nReports);
    }
}

TEST_F(WinMainTest, InstallAndUninstallWriteTheirRegistryMarks)
{
    EXPECT_EQ(0, Run("-printerdriver=Model 12 -product=X -port=LPT1:"));
    DWORD dwValue = 0;
    EXPECT_TRUE(
        GetDword("HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk", "VeskInstall", &dwValue));
    EXPECT_EQ(1u, dwValue);
    EXPECT_TRUE(winsim::KeyExists(
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVKR Printing System Config\\Model 12"));

    EXPECT_EQ(0, Run("-uninstall=Model 12"));
    EXPECT_FALSE(winsim::KeyExists(
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVKR Printing System Config\\Model 12"));
    std::string sText;
    EXPECT_TRUE(GetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12",
                          "registrycleanup", &sText));
    EXPECT_EQ("false", sText);
}

TEST_F(WinMainTest, FailedInstallStillExitsWithZero)
{
    winsim::FailCall("GetVersionExA", 1, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(0, Run("-printerdriver=Model 12 -product=X -port=LPT1:"));
    Lines vsLines = LogLines();
    ASSERT_GE(vsLines.size(), 6u);
    EXPECT_EQ(Report(kInstall, "SetAccessoryFlags( sDriverName ) == false"),
              vsLines[vsLines.size() - 6]);
    EXPECT_EQ(Report(kMain, "InstallHelper( sDriverName ) == false"), vsLines[vsLines.size() - 5]);
    EXPECT_EQ("The Morix Failed", vsLines.back());
}

} // namespace
