// The uninstall under faults: the printer list changing between the two
// spooler calls, and a USB device key that cannot be deleted.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "morix_test_util.h"
#include "morix_uninstall.h"

namespace
{

using morix_test::kRegistry;
using morix_test::kUninstall;
using morix_test::Lines;
using morix_test::MorixTest;
using morix_test::Report;

const char kPrinters[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers";

std::string PrinterText(const std::string& sName, const std::string& sDriver)
{
    return std::string("[") + kPrinters + "\\" + sName + "]\n\"Name\"=\"" + sName +
           "\"\n\"Printer Driver\"=\"" + sDriver + "\"\n\"Port\"=\"LPT1:\"\n";
}

class UninstallTest : public MorixTest
{
};

TEST_F(UninstallTest, PrinterListChangingBetweenTheSpoolerCalls)
{
    const struct
    {
        const char* pszName;
        bool fAdd;
        const char* pszReport;
    } aCases[] = {
        {"printer added", true,
         "EnumPrinters( PRINTER_ENUM_LOCAL, 0, 2, pbPrinterInfo, cbNeeded, &cbReceived, "
         "&nPrinters ) == FALSE"},
        {"printer removed", false, "cbReceived != cbNeeded"},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        TearDown();
        SetUp();
        Import(PrinterText("Office", "Model 12") + PrinterText("Lab", "Other Model"));
        const bool fAdd = c.fAdd;
        winsim::OnCall("EnumPrintersA", 2,
                       [fAdd]
                       {
                           if (fAdd)
                               Import(PrinterText("Hall", "Model 12"));
                           else
                               Import(std::string("[-") + kPrinters + "\\Lab]");
                       });
        EXPECT_FALSE(ComponentUninstall("Model 12"));
        EXPECT_EQ(Lines({Report(kUninstall, c.pszReport), "ComponentUninstall (Model 12) Failed"}),
                  LogLines());
        EXPECT_EQ(2, winsim::CallCount("EnumPrintersA"));
    }
}

TEST_F(UninstallTest, UsbKeyThatCannotBeDeletedEndsTheSearch)
{
    SetVersion("win98");
    Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Factory\\Model 12]\n"
           "\"DeviceID\"=\"QVM12\"\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\1284PnP]\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Legacy]\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\qvf\\C32]\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVKR Printing System Config\\Model 12]\n"
           "[HKEY_CURRENT_USER\\SOFTWARE\\Brenmoor\\QVKR Printing System Config\\Model 12]\n"
           "[HKEY_LOCAL_MACHINE\\ENUM\\USBPRINT\\QVM12\\0001]\n"
           "\"HardwareID\"=\"USBPRINT\\\\QVM12_A1B2\"");
    // The found key is the first single-key delete of the run (the parallel
    // port keys do not exist); it fails, and would fail on every later pass.
    winsim::FailCall("RegDeleteKeyA", 1, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CleanupRegistry("Model 12"));

    const std::string sFound = "ENUM\\USBPRINT\\QVM12\\0001";
    const std::string sFoundLine = "RegFindValueData (ENUM\\USBPRINT, HardwareID, QVM12) Success, "
                                   "*psLocation = " +
                                   sFound;
    EXPECT_EQ(Lines({
                  "sDeviceId = QVM12",
                  Report(kRegistry, "lResult != ERROR_SUCCESS"),
                  "RegDeleteKey (ENUM\\PARENUM\\QVM12) Failed, lResult = 0x00000002",
                  Report(kRegistry, "lResult != ERROR_SUCCESS"),
                  "RegDeleteKey (ENUM\\LPTENUM\\QVM12) Failed, lResult = 0x00000002",
                  sFoundLine,
                  "Found Key = " + sFound + " matching DeviceID = QVM12",
                  "RegGetStringValue (" + sFound + ", Driver) Failed, lResult = 2",
                  Report(kRegistry, "lResult != ERROR_SUCCESS"),
                  Report(kRegistry, "RegRecursiveDeleteKey( hRegKey, sSubkey ) == false"),
                  "RegDeleteKey (" + sFound + ") Failed, lResult = 0xffffffff",
                  "Deleted Key: " + sFound,
                  sFoundLine,
                  "Key " + sFound + " could not be deleted, USB device search ended",
                  "Deleted Key: SOFTWARE\\Brenmoor\\qvf\\C32",
                  "RegGetStringValue (SOFTWARE\\Brenmoor\\QVZ\\Vesk, FactoryPreloaded) Failed, "
                  "lResult = 2",
                  "CleanupRegistry (Model 12) Successful",
              }),
              LogLines());

    EXPECT_TRUE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\" + sFound));
    for (const char* pszGone :
         {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Factory",
          "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\1284PnP",
          "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Legacy",
          "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\qvf\\C32",
          "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVKR Printing System Config",
          "HKEY_CURRENT_USER\\SOFTWARE\\Brenmoor\\QVKR Printing System Config"})
        EXPECT_FALSE(winsim::KeyExists(pszGone)) << pszGone;
    std::string sText;
    EXPECT_TRUE(GetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12",
                          "registrycleanup", &sText));
    EXPECT_EQ("false", sText);
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

// ComponentUninstall with the recording test component in the system
// directory: it appends each printer name it is called with to QVZCON_CALLS.
class ComponentTest : public UninstallTest
{
protected:
    void SetUp() override
    {
        UninstallTest::SetUp();
        m_sCalls = winsim::DriveRoot() + "/calls.txt";
        setenv("QVZCON_CALLS", m_sCalls.c_str(), 1);
        Import(PrinterText("Annex", "Other Model") + PrinterText("Hall", "Model 12 Series") +
               PrinterText("Lab", "MODEL 12") + PrinterText("Office", "Model 12"));
    }
    void TearDown() override
    {
        unsetenv("QVZCON_CALLS");
        UninstallTest::TearDown();
    }
    static void InstallLibrary(const char* pszBuilt)
    {
        std::filesystem::copy_file(pszBuilt,
                                   winsim::MapPath("C:\\WINDOWS\\SYSTEM32") + "/qvzcon14.dll");
    }
    std::string Calls() const { return morix_test::ReadHostFile(m_sCalls); }

    std::string m_sCalls;
};

TEST_F(ComponentTest, EveryPrinterOfTheDriverInSpoolerOrder)
{
    InstallLibrary(QVZCON_RECORDING);
    EXPECT_TRUE(ComponentUninstall("model 12"));
    EXPECT_EQ("Lab\nOffice\n", Calls());
    EXPECT_EQ(Lines({"ComponentUninstall (model 12) Succeeded"}), LogLines());
    EXPECT_EQ(1, winsim::CallCount("LoadLibraryA"));
    EXPECT_EQ(1, winsim::CallCount("FreeLibrary"));
}

TEST_F(ComponentTest, NoLibraryOrNoExportIsNoFailure)
{
    EXPECT_TRUE(ComponentUninstall("Model 12"));
    EXPECT_EQ(0, winsim::CallCount("LoadLibraryA"));
    InstallLibrary(QVZCON_NOEXPORT);
    EXPECT_TRUE(ComponentUninstall("Model 12"));
    EXPECT_EQ("", Calls());
    EXPECT_EQ(Lines({"ComponentUninstall (Model 12) Succeeded",
                     "ComponentUninstall (Model 12) Succeeded"}),
              LogLines());
    EXPECT_EQ(1, winsim::CallCount("FreeLibrary"));
}

TEST_F(ComponentTest, FailuresStillFreeTheLibrary)
{
    InstallLibrary(QVZCON_RECORDING);
    Import(std::string("[-") + kPrinters + "]");
    EXPECT_FALSE(ComponentUninstall("Model 12"));
    EXPECT_FALSE(ComponentUninstall(""));
    winsim::FailCall("GetSystemDirectoryA", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(ComponentUninstall("Model 12"));
    EXPECT_EQ(Lines({Report(kUninstall, "cbNeeded == 0"), "ComponentUninstall (Model 12) Failed",
                     Report(kUninstall, "sDriverName.empty()"), "ComponentUninstall (NULL) Failed",
                     Report(morix_test::kUtils, "GetSystemDirectory( szBuffer, _MAX_PATH ) == 0"),
                     Report(kUninstall, "GetSystemPath( &sCompCfgPathname ) == false"),
                     "ComponentUninstall (Model 12) Failed"}),
              LogLines());
    EXPECT_EQ("", Calls());
    EXPECT_EQ(1, winsim::CallCount("LoadLibraryA"));
    EXPECT_EQ(1, winsim::CallCount("FreeLibrary"));
    EXPECT_EQ(1, winsim::CallCount("EnumPrintersA"));
}

} // namespace
