// Value search: pre-order depth first, the first match wins, how values are
// compared, and how failures inside the subtree are passed over.
#include <string>

#include "morix_test_util.h"
#include "qvzvesk/qvzvesk_registry.h"

namespace
{

using morix_test::kRegistry;
using morix_test::Lines;
using morix_test::MorixTest;
using morix_test::Report;

const char kNotFound[] = "(fFound = RegFindValueData( hRegKey, sPath, sValueName, sValueData, "
                         "psLocation, fPartialValueSearch )) == false";
const char kChildOpenFailed[] = "(lResult = RegOpenKeyEx( hRegKey, pszSubkeyName, 0, KEY_READ, "
                                "&hRegSubkey )) != ERROR_SUCCESS";
const char kEnumFailed[] = "(lResult = RegEnumKey( hRegKey, iSubkey, pszSubkeyName, _MAX_PATH + 1 "
                           ")) != ERROR_SUCCESS";
const char kInfoFailed[] =
    "(lResult = RegQueryInfoKey( hRegKey, 0, 0, 0, &nSubkeys, 0, 0, 0, 0, 0, "
    "0, 0 )) != ERROR_SUCCESS";
const char kReadFailed[] = "(lResult = RegQueryValueEx( hRegKey, sValueName.c_str(), 0, &dwType, "
                           "pbData, &cbData )) != ERROR_SUCCESS";
const char kSentinel[] = "untouched";

std::string Success(const std::string& sPath, const std::string& sData, const std::string& sFound)
{
    return "RegFindValueData (" + sPath + ", HardwareID, " + sData +
           ") Success, *psLocation = " + sFound;
}

std::string Failed(const std::string& sPath, const std::string& sData, int nStatus, int nFound)
{
    return "RegFindValueData (" + sPath + ", HardwareID, " + sData +
           ") Failed, lResult = " + std::to_string(nStatus) +
           ", fFound = " + std::to_string(nFound);
}

class RegistryFindTest : public MorixTest
{
protected:
    // Searches below HKLM with the "HardwareID" value and checks the lines it
    // leaves; returns the location (the sentinel when nothing was found).
    std::string Find(const std::string& sPath, const std::string& sData, bool fPartial,
                     bool fExpected, const Lines& vsExpected)
    {
        size_t nBefore = LogLines().size();
        CQvCiString sLocation = kSentinel;
        EXPECT_EQ(fExpected, RegFindValueData(sPath.c_str(), "HardwareID", sData.c_str(),
                                              &sLocation, HKEY_LOCAL_MACHINE, fPartial));
        Lines vsLines = LogLines();
        EXPECT_EQ(vsExpected, Lines(vsLines.begin() + static_cast<long>(nBefore), vsLines.end()));
        EXPECT_EQ(0, winsim::OpenKeyCount());
        return sLocation.c_str();
    }
};

TEST_F(RegistryFindTest, MatchesAndTheirLocations)
{
    Import(
        "[HKEY_LOCAL_MACHINE\\Usb]\n\"HardwareID\"=\"Root Device\"\n"
        "[HKEY_LOCAL_MACHINE\\Usb\\DevA\\Inst1]\n\"HardwareID\"=\"USBPRINT\\\\QVKRMODEL_12_XYZ\"\n"
        "[HKEY_LOCAL_MACHINE\\Usb\\DevA\\Inst2]\n\"HardwareID\"=\"qvkrmodel_12\"\n"
        "[HKEY_LOCAL_MACHINE\\Usb\\DevB]\n\"HardwareID\"=\"QVKRMODEL_12\"\n"
        "[HKEY_LOCAL_MACHINE\\Usb\\DevC\\Multi]\n\"HardwareID\"=hex(7):41,41,41,00,42,42,42,00,00\n"
        "[HKEY_LOCAL_MACHINE\\Usb\\DevC\\Multi\\Below]\n\"HardwareID\"=\"other\"\n"
        "[HKEY_LOCAL_MACHINE\\Usb\\DevD]\n\"HardwareID\"=hex(2):7a,7a,7a,00\n"
        "[HKEY_LOCAL_MACHINE\\Usb\\DevD\\Under]\n\"HardwareID\"=dword:7\n"
        "[HKEY_LOCAL_MACHINE\\Usb\\DevD\\Under\\Deep]\n\"HardwareID\"=\"ZZZ\"");
    const struct
    {
        const char* pszPath;
        const char* pszData;
        bool fPartial;
        const char* pszFound; // null: nothing found
    } aCases[] = {
        {"Usb", "root device", false, "Usb"},                        // the start key itself
        {"usb", "Model_12", true, "usb\\DevA\\Inst1"},               // two down, names as stored
        {"Usb", "QVKRModel_12", false, "Usb\\DevA\\Inst2"},          // exact: first equal one
        {"Usb\\DevA", "QVKRMODEL_12_XYZ", true, "Usb\\DevA\\Inst1"}, // partial at the end
        {"Usb\\DevB", "qvkrmodel_12", false, "Usb\\DevB"},           // exact, other case
        {"Usb\\DevB", "model", false, nullptr},                      // exact needs it all
        {"Usb\\DevB", "QVKRMODEL_12_XYZ_LONGER", true, nullptr},     // longer than the value
        {"Usb", "aaa", false, "Usb\\DevC\\Multi"},                   // first string of a multi
        {"Usb\\DevC", "BBB", true, nullptr},                         // second string ignored
        {"Usb", "zzz", false, "Usb\\DevD\\Under\\Deep"},             // other types skipped
        {"Usb", "USBPRINT\\QVKRMODEL_12_XYZ", false, "Usb\\DevA\\Inst1"}, // exact, whole
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(std::string(c.pszPath) + " / " + c.pszData);
        if (c.pszFound)
            EXPECT_EQ(c.pszFound, Find(c.pszPath, c.pszData, c.fPartial, true,
                                       {Success(c.pszPath, c.pszData, c.pszFound)}));
        else
            EXPECT_EQ(kSentinel,
                      Find(c.pszPath, c.pszData, c.fPartial, false,
                           {Report(kRegistry, kNotFound), Failed(c.pszPath, c.pszData, 0, 0)}));
    }
}

TEST_F(RegistryFindTest, StartKeyMatchVisitsNoChild)
{
    Import("[HKEY_LOCAL_MACHINE\\Usb]\n\"HardwareID\"=\"abc\"\n"
           "[HKEY_LOCAL_MACHINE\\Usb\\Child]\n\"HardwareID\"=\"abc\"");
    EXPECT_EQ("Usb", Find("Usb", "ABC", false, true, {Success("Usb", "ABC", "Usb")}));
    EXPECT_EQ(0, winsim::CallCount("RegEnumKeyA"));
    EXPECT_EQ(1, winsim::CallCount("RegOpenKeyExA"));
}

TEST_F(RegistryFindTest, LowerIndexAndPreOrderWin)
{
    Import("[HKEY_LOCAL_MACHINE\\Usb\\B]\n\"HardwareID\"=\"id\"\n"
           "[HKEY_LOCAL_MACHINE\\Usb\\A\\Deep]\n\"HardwareID\"=\"id\"\n"
           "[HKEY_LOCAL_MACHINE\\Usb\\A]\n\"HardwareID\"=\"other\"");
    EXPECT_EQ("Usb\\A\\Deep",
              Find("Usb", "id", false, true, {Success("Usb", "id", "Usb\\A\\Deep")}));
    Import("[HKEY_LOCAL_MACHINE\\Usb\\A]\n\"HardwareID\"=\"id\"");
    EXPECT_EQ("Usb\\A", Find("Usb", "id", false, true, {Success("Usb", "id", "Usb\\A")}));
}

TEST_F(RegistryFindTest, NothingFoundAndMissingStartKey)
{
    Import("[HKEY_LOCAL_MACHINE\\Usb]");
    EXPECT_EQ(kSentinel, Find("Usb", "id", true, false,
                              {Report(kRegistry, kNotFound), Failed("Usb", "id", 0, 0)}));
    EXPECT_EQ(kSentinel, Find("Nope\\Usb", "id", true, false,
                              {Report(kRegistry, "lResult != ERROR_SUCCESS"),
                               Failed("Nope\\Usb", "id", 2, 1)}));
}

TEST_F(RegistryFindTest, Preconditions)
{
    CQvCiString sLocation = kSentinel;
    const HKEY hkLm = HKEY_LOCAL_MACHINE;
    EXPECT_FALSE(RegFindValueData("", "", "", nullptr, 0, true));
    EXPECT_FALSE(RegFindValueData("Usb", "", "", nullptr, 0, true));
    EXPECT_FALSE(RegFindValueData("Usb", "HardwareID", "", nullptr, 0, true));
    EXPECT_FALSE(RegFindValueData("Usb", "HardwareID", "id", nullptr, 0, true));
    EXPECT_FALSE(RegFindValueData("Usb", "HardwareID", "id", &sLocation, 0, true));
    EXPECT_FALSE(RegFindValueData(static_cast<HKEY>(0), "", "", "", nullptr, true));
    EXPECT_FALSE(RegFindValueData(hkLm, "", "", "", nullptr, true));
    EXPECT_FALSE(RegFindValueData(hkLm, "Usb", "", "", nullptr, true));
    EXPECT_FALSE(RegFindValueData(hkLm, "Usb", "HardwareID", "", nullptr, true));
    EXPECT_EQ(Lines({Report(kRegistry, "sPath.empty()"), Report(kRegistry, "sValueName.empty()"),
                     Report(kRegistry, "sValueData.empty()"), Report(kRegistry, "psLocation == 0"),
                     Report(kRegistry, "hkRoot == 0"), Report(kRegistry, "hRegKey == 0"),
                     Report(kRegistry, "sPath.empty()"), Report(kRegistry, "sValueName.empty()"),
                     Report(kRegistry, "psLocation == 0")}),
              LogLines());
    EXPECT_EQ(std::string(kSentinel), sLocation.c_str());
}

TEST_F(RegistryFindTest, InnerSearchWithEmptyDataMatchesTheFirstStringValue)
{
    Import("[HKEY_LOCAL_MACHINE\\Usb]\n\"HardwareID\"=dword:1\n"
           "[HKEY_LOCAL_MACHINE\\Usb\\Kid]\n\"HardwareID\"=\"anything\"");
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Usb", 0, KEY_READ, &hKey));
    CQvCiString sLocation;
    EXPECT_TRUE(RegFindValueData(hKey, "Start", "HardwareID", "", &sLocation, false));
    RegCloseKey(hKey);
    EXPECT_EQ(std::string("Start\\Kid"), sLocation.c_str());
    EXPECT_EQ(Lines(), LogLines());
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(RegistryFindTest, FailuresInsideTheSubtreeSkipTheRestOfThatKey)
{
    // Usb{P{A, B, C=match}, Q=match}: a failure while walking P's children ends
    // the search of P, and the search goes on with Q. At the start key a
    // failure ends the whole search.
    //   opens: Usb (1), P (2), A (3), B (4), C (5), Q (6)
    //   value queries: Usb (1), P (2), A (3), B (4), C size (5), C data (6)
    //   enumerations: Usb#0=P (1), P#0=A (2), P#1=B (3), P#2=C (4), Usb#1=Q (5)
    //   subkey counts: Usb (1), P (2), A (3), ...
    Import("[HKEY_LOCAL_MACHINE\\Usb\\P\\A]\n"
           "[HKEY_LOCAL_MACHINE\\Usb\\P\\B]\n"
           "[HKEY_LOCAL_MACHINE\\Usb\\P\\C]\n\"HardwareID\"=\"dev id\"\n"
           "[HKEY_LOCAL_MACHINE\\Usb\\Q]\n\"HardwareID\"=\"dev id\"");
    const struct
    {
        const char* pszName;
        const char* pszFunction; // null: nothing fails
        int nNth;
        const char* pszReport;
        const char* pszFound;
    } aCases[] = {
        {"no failure", nullptr, 0, nullptr, "Usb\\P\\C"},
        {"second child of P cannot be opened", "RegOpenKeyExA", 4, kChildOpenFailed, "Usb\\Q"},
        {"P's own value cannot be read", "RegQueryValueExA", 3, kReadFailed, "Usb\\Q"},
        {"P's children cannot be listed", "RegEnumKeyA", 3, kEnumFailed, "Usb\\Q"},
        {"P's subkeys cannot be counted", "RegQueryInfoKeyA", 2, kInfoFailed, "Usb\\Q"},
        {"start key's first child cannot be opened", "RegOpenKeyExA", 2, kChildOpenFailed, nullptr},
        {"start key's subkeys cannot be counted", "RegQueryInfoKeyA", 1, kInfoFailed, nullptr},
        {"start key's children cannot be listed", "RegEnumKeyA", 1, kEnumFailed, nullptr},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        // For the read failure P holds a value of its own: its size is the
        // 2nd value query, its data the 3rd.
        if (c.pszFunction && std::string(c.pszFunction) == "RegQueryValueExA")
            Import("[HKEY_LOCAL_MACHINE\\Usb\\P]\n\"HardwareID\"=\"not it\"");
        if (c.pszFunction)
            winsim::FailCall(c.pszFunction, c.nNth, ERROR_ACCESS_DENIED);
        Lines vsExpected;
        if (c.pszReport)
            vsExpected.push_back(Report(kRegistry, c.pszReport));
        if (c.pszFound)
            vsExpected.push_back(Success("Usb", "dev id", c.pszFound));
        else
        {
            vsExpected.push_back(Report(kRegistry, kNotFound));
            vsExpected.push_back(Failed("Usb", "dev id", 0, 0));
        }
        EXPECT_EQ(c.pszFound ? c.pszFound : kSentinel,
                  Find("Usb", "dev id", false, c.pszFound != nullptr, vsExpected));
        winsim::ClearFaults();
        Import("[-HKEY_LOCAL_MACHINE\\Usb\\P]\n[HKEY_LOCAL_MACHINE\\Usb\\P\\A]\n"
               "[HKEY_LOCAL_MACHINE\\Usb\\P\\B]\n"
               "[HKEY_LOCAL_MACHINE\\Usb\\P\\C]\n\"HardwareID\"=\"dev id\"");
    }
}

} // namespace
