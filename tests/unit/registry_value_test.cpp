// Registry value access: preconditions, every platform call failing once,
// the failure lines, and what reads make of unusual stored values.
#include <functional>
#include <string>

#include "morix_test_util.h"
#include "qvzvesk/qvzvesk_log.h"
#include "qvzvesk/qvzvesk_registry.h"

namespace
{

using morix_test::kRegistry;
using morix_test::Lines;
using morix_test::MorixTest;
using morix_test::Report;

class RegistryValueTest : public MorixTest
{
};

const char kSentinel[] = "untouched";

TEST_F(RegistryValueTest, PreconditionsAreCheckedInOrderWithoutAFailureLine)
{
    CQvCiString sOut = kSentinel;
    const HKEY hkLm = HKEY_LOCAL_MACHINE;
    const struct
    {
        const char* pszCondition;
        std::function<bool()> fnOperation;
    } aCases[] = {
        {"sPath.empty()", [&] { return RegGetStringValue("", "", nullptr, true, 0); }},
        {"sValueName.empty()", [&] { return RegGetStringValue("K", "", nullptr, true, 0); }},
        {"psValueData == 0", [&] { return RegGetStringValue("K", "V", nullptr, true, 0); }},
        {"hkRoot == 0", [&] { return RegGetStringValue("K", "V", &sOut, true, 0); }},
        {"sPath.empty()", [&] { return RegSetStringValue("", "", "", true, 0); }},
        {"sValueName.empty()", [&] { return RegSetStringValue("K", "", "", true, 0); }},
        {"sValueData.empty()", [&] { return RegSetStringValue("K", "V", "", true, 0); }},
        {"hkRoot == 0", [&] { return RegSetStringValue("K", "V", "D", true, 0); }},
        {"sPath.empty()", [&] { return RegSetDwordValue("", "", 1, true, 0); }},
        {"sValueName.empty()", [&] { return RegSetDwordValue("K", "", 1, true, 0); }},
        {"hkRoot == 0", [&] { return RegSetDwordValue("K", "V", 1, true, 0); }},
        {"sPath.empty()", [&] { return RegKeyExists("", 0); }},
        {"hkRoot == 0", [&] { return RegKeyExists("K", 0); }},
        {"sPath.empty()", [&] { return RegIsKeyEmpty("", true, 0); }},
        {"hkRoot == 0", [&] { return RegIsKeyEmpty("K", false, 0); }},
        {"sValueData.empty()", [&] { return RegSetStringValue("K\\New", "V", "", true, hkLm); }},
    };
    int iCase = 0;
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(iCase++);
        size_t nBefore = LogLines().size();
        EXPECT_FALSE(c.fnOperation());
        Lines vsLines = LogLines();
        EXPECT_EQ(Lines({Report(kRegistry, c.pszCondition)}),
                  Lines(vsLines.begin() + static_cast<long>(nBefore), vsLines.end()));
    }
    EXPECT_EQ(std::string(kSentinel), sOut.c_str());
    EXPECT_FALSE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\K"));
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(RegistryValueTest, EachPlatformCallFailingOnce)
{
    const LONG lDenied = ERROR_ACCESS_DENIED;
    const struct
    {
        const char* pszName;
        const char* pszFunction;
        int nNth;
        DWORD dwStatus;
        std::function<bool(CQvCiString*, bool)> fnOperation;
        Lines vsReports;
        const char* pszFailureLine;
    } aCases[] = {
        {"get: open",
         "RegOpenKeyExA",
         1,
         lDenied,
         [](CQvCiString* ps, bool f)
         { return RegGetStringValue("Soft\\Key", "Text", ps, f, HKEY_LOCAL_MACHINE); },
         {Report(kRegistry, "lResult != ERROR_SUCCESS")},
         "RegGetStringValue (Soft\\Key, Text) Failed, lResult = 5"},
        {"get: open, status shown signed",
         "RegOpenKeyExA",
         1,
         0x80000005u,
         [](CQvCiString* ps, bool f)
         { return RegGetStringValue("Soft\\Key", "Text", ps, f, HKEY_LOCAL_MACHINE); },
         {Report(kRegistry, "lResult != ERROR_SUCCESS")},
         "RegGetStringValue (Soft\\Key, Text) Failed, lResult = -2147483643"},
        {"get: size query",
         "RegQueryValueExA",
         1,
         lDenied,
         [](CQvCiString* ps, bool f)
         { return RegGetStringValue("Soft\\Key", "Text", ps, f, HKEY_LOCAL_MACHINE); },
         {},
         "RegGetStringValue (Soft\\Key, Text) Failed, lResult = 5"},
        {"get: data query",
         "RegQueryValueExA",
         2,
         ERROR_MORE_DATA,
         [](CQvCiString* ps, bool f)
         { return RegGetStringValue("Soft\\Key", "Text", ps, f, HKEY_LOCAL_MACHINE); },
         {Report(kRegistry, "lResult != ERROR_SUCCESS")},
         "RegGetStringValue (Soft\\Key, Text) Failed, lResult = 234"},
        {"set string: create",
         "RegCreateKeyExA",
         1,
         lDenied,
         [](CQvCiString*, bool f)
         { return RegSetStringValue("Soft\\Key", "Text", "false", f, HKEY_LOCAL_MACHINE); },
         {Report(kRegistry, "lResult != ERROR_SUCCESS")},
         "RegSetStringValue (Soft\\Key, Text, false) Failed, lResult = 5"},
        {"set string: set",
         "RegSetValueExA",
         1,
         lDenied,
         [](CQvCiString*, bool f)
         { return RegSetStringValue("Soft\\Key", "Text", "false", f, HKEY_LOCAL_MACHINE); },
         {Report(kRegistry, "lResult != ERROR_SUCCESS")},
         "RegSetStringValue (Soft\\Key, Text, false) Failed, lResult = 5"},
        {"set dword: create",
         "RegCreateKeyExA",
         1,
         lDenied,
         [](CQvCiString*, bool f)
         { return RegSetDwordValue("Soft\\Key", "Flag", 0x2A, f, HKEY_LOCAL_MACHINE); },
         {Report(kRegistry, "lResult != ERROR_SUCCESS")},
         "RegSetDwordValue (Soft\\Key, Flag, 0x0000002a) Failed, lResult = 5"},
        {"set dword: set",
         "RegSetValueExA",
         1,
         ERROR_NOT_ENOUGH_MEMORY,
         [](CQvCiString*, bool f)
         { return RegSetDwordValue("Soft\\Key", "Flag", 0xDEADBEEF, f, HKEY_LOCAL_MACHINE); },
         {Report(kRegistry, "lResult != ERROR_SUCCESS")},
         "RegSetDwordValue (Soft\\Key, Flag, 0xdeadbeef) Failed, lResult = 8"},
        {"key exists: open",
         "RegOpenKeyExA",
         1,
         lDenied,
         [](CQvCiString*, bool) { return RegKeyExists("Soft\\Key", HKEY_LOCAL_MACHINE); },
         {},
         nullptr},
        {"key empty: open",
         "RegOpenKeyExA",
         1,
         lDenied,
         [](CQvCiString*, bool) { return RegIsKeyEmpty("Soft\\Key", false, HKEY_LOCAL_MACHINE); },
         {},
         nullptr},
        {"key empty: info query",
         "RegQueryInfoKeyA",
         1,
         lDenied,
         [](CQvCiString*, bool) { return RegIsKeyEmpty("Soft\\Key", false, HKEY_LOCAL_MACHINE); },
         {Report(kRegistry, "(lResult = RegQueryInfoKey( hRegKey, 0, 0, 0, &nSubkeys, 0, 0, "
                            "&nValues, 0, 0, 0, 0 )) != ERROR_SUCCESS")},
         nullptr},
    };
    for (const auto& c : aCases)
    {
        for (bool fLogFailure : {false, true})
        {
            SCOPED_TRACE(std::string(c.pszName) + (fLogFailure ? ", logged" : ", not logged"));
            g_LogFile.Close();
            winsim::Reset();
            ASSERT_TRUE(g_LogFile.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
            Import("[HKEY_LOCAL_MACHINE\\Soft\\Key]\n\"Text\"=\"stored\"\n\"Flag\"=dword:1");
            winsim::FailCall(c.pszFunction, c.nNth, c.dwStatus);
            CQvCiString sOut = kSentinel;
            EXPECT_FALSE(c.fnOperation(&sOut, fLogFailure));
            Lines vsExpected = c.vsReports;
            if (fLogFailure && c.pszFailureLine)
                vsExpected.push_back(c.pszFailureLine);
            EXPECT_EQ(vsExpected, LogLines());
            EXPECT_EQ(std::string(kSentinel), sOut.c_str());
            EXPECT_EQ(0, winsim::OpenKeyCount());
            DWORD dwFlag = 0;
            EXPECT_TRUE(GetDword("HKEY_LOCAL_MACHINE\\Soft\\Key", "Flag", &dwFlag));
            EXPECT_EQ(1u, dwFlag) << "a failed write leaves the old value";
        }
    }
}

TEST_F(RegistryValueTest, ReadingUnusualValues)
{
    Import("[HKEY_LOCAL_MACHINE\\Soft\\Key]\n"
           "\"Text\"=\"Hello World\"\n"
           "\"Number\"=dword:00000001\n"
           "\"Expand\"=hex(2):25,54,4d,50,25,00\n"
           "\"Multi\"=hex(7):61,00,62,00,00\n"
           "\"Binary\"=hex:61,62,00\n"
           "\"OneNul\"=hex(1):00\n"
           "\"SizeZero\"=hex(1):\n"
           "\"NoNul\"=hex(1):61,62,63\n"
           "\"InnerNul\"=hex(1):61,62,00,63,64,00");
    const struct
    {
        const char* pszName;
        bool fResult;
        const char* pszOut;
        Lines vsWithoutFailureLog;
        Lines vsWithFailureLog;
    } aCases[] = {
        {"Text", true, "Hello World", {}, {}},
        {"text", true, "Hello World", {}, {}},
        {"Number",
         false,
         kSentinel,
         {Report(kRegistry, "dwType != REG_SZ")},
         {Report(kRegistry, "dwType != REG_SZ")}},
        {"Expand",
         false,
         kSentinel,
         {Report(kRegistry, "dwType != REG_SZ")},
         {Report(kRegistry, "dwType != REG_SZ")}},
        {"Multi",
         false,
         kSentinel,
         {Report(kRegistry, "dwType != REG_SZ")},
         {Report(kRegistry, "dwType != REG_SZ")}},
        {"Binary",
         false,
         kSentinel,
         {Report(kRegistry, "dwType != REG_SZ")},
         {Report(kRegistry, "dwType != REG_SZ")}},
        {"OneNul", true, "", {}, {}},
        {"SizeZero",
         false,
         kSentinel,
         {Report(kRegistry, "cbData == 0")},
         {Report(kRegistry, "cbData == 0")}},
        {"NoNul", true, "abc", {}, {}},
        {"InnerNul", true, "ab", {}, {}},
        {"Missing",
         false,
         kSentinel,
         {},
         {"RegGetStringValue (Soft\\Key, Missing) Failed, lResult = 2"}},
    };
    for (const auto& c : aCases)
    {
        for (bool fLogFailure : {false, true})
        {
            SCOPED_TRACE(std::string(c.pszName) + (fLogFailure ? ", logged" : ", not logged"));
            size_t nBefore = LogLines().size();
            CQvCiString sOut = kSentinel;
            EXPECT_EQ(c.fResult, RegGetStringValue("Soft\\Key", c.pszName, &sOut, fLogFailure,
                                                   HKEY_LOCAL_MACHINE));
            EXPECT_EQ(std::string(c.pszOut), std::string(sOut.c_str(), sOut.length()));
            Lines vsLines = LogLines();
            EXPECT_EQ(fLogFailure ? c.vsWithFailureLog : c.vsWithoutFailureLog,
                      Lines(vsLines.begin() + static_cast<long>(nBefore), vsLines.end()));
        }
    }
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(RegistryValueTest, ReadingFromAMissingKey)
{
    CQvCiString sOut = kSentinel;
    EXPECT_FALSE(RegGetStringValue("Soft\\Nope", "Text", &sOut, false, HKEY_LOCAL_MACHINE));
    EXPECT_FALSE(RegGetStringValue("Soft\\Nope", "Text", &sOut, true, HKEY_CURRENT_USER));
    EXPECT_EQ(Lines({Report(kRegistry, "lResult != ERROR_SUCCESS"),
                     Report(kRegistry, "lResult != ERROR_SUCCESS"),
                     "RegGetStringValue (Soft\\Nope, Text) Failed, lResult = 2"}),
              LogLines());
    EXPECT_EQ(std::string(kSentinel), sOut.c_str());
}

TEST_F(RegistryValueTest, WritesCreateMissingKeysAndStoreExactBytes)
{
    EXPECT_TRUE(RegSetDwordValue("A\\B\\C", "Zero", 0, true, HKEY_LOCAL_MACHINE));
    EXPECT_TRUE(RegSetDwordValue("A\\B\\C", "Big", 0x89ABCDEF, true, HKEY_LOCAL_MACHINE));
    EXPECT_TRUE(RegSetStringValue("X\\Y", "registrycleanup", "false", true, HKEY_CURRENT_USER));
    EXPECT_TRUE(RegSetStringValue("X\\Y", "registrycleanup", "again", true, HKEY_CURRENT_USER));
    // The flush is best effort.
    const int nFlushes = winsim::CallCount("RegFlushKey");
    winsim::FailCall("RegFlushKey", 1, ERROR_ACCESS_DENIED);
    winsim::FailCall("RegFlushKey", 2, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(RegSetDwordValue("A\\B\\C", "Flushed", 2, true, HKEY_LOCAL_MACHINE));
    EXPECT_TRUE(RegSetStringValue("A\\B\\C", "FlushedText", "t", true, HKEY_LOCAL_MACHINE));
    EXPECT_EQ(2, winsim::CallCount("RegFlushKey") - nFlushes);
    EXPECT_EQ(Lines(), LogLines());

    DWORD dwType = 0;
    std::string sBytes;
    ASSERT_TRUE(winsim::GetValue("HKEY_LOCAL_MACHINE\\A\\B\\C", "Zero", &dwType, &sBytes));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), dwType);
    EXPECT_EQ(std::string(4, '\0'), sBytes);
    ASSERT_TRUE(winsim::GetValue("HKEY_LOCAL_MACHINE\\A\\B\\C", "Big", &dwType, &sBytes));
    EXPECT_EQ(std::string("\xEF\xCD\xAB\x89", 4), sBytes);
    ASSERT_TRUE(winsim::GetValue("HKEY_CURRENT_USER\\X\\Y", "registrycleanup", &dwType, &sBytes));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), dwType);
    EXPECT_EQ(std::string("again\0", 6), sBytes);
    EXPECT_FALSE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\X"));
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(RegistryValueTest, KeyExistsAndKeyIsEmpty)
{
    Import("[HKEY_LOCAL_MACHINE\\T\\Empty]\n"
           "[HKEY_LOCAL_MACHINE\\T\\ValuesOnly]\n\"V\"=\"x\"\n"
           "[HKEY_LOCAL_MACHINE\\T\\Parent\\Child]");
    const struct
    {
        const char* pszPath;
        bool fExists;
        bool fEmptyIgnoringValues;
        bool fEmptyWithValues;
    } aCases[] = {
        {"T\\Empty", true, true, true},
        {"t\\empty", true, true, true},
        {"T\\ValuesOnly", true, true, false},
        {"T\\Parent", true, false, false},
        {"T\\Parent\\Child", true, true, true},
        {"T\\Missing", false, false, false},
        {"T", true, false, false},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszPath);
        EXPECT_EQ(c.fExists, RegKeyExists(c.pszPath, HKEY_LOCAL_MACHINE));
        EXPECT_FALSE(RegKeyExists(c.pszPath, HKEY_CURRENT_USER));
        EXPECT_EQ(c.fEmptyIgnoringValues, RegIsKeyEmpty(c.pszPath, false, HKEY_LOCAL_MACHINE));
        EXPECT_EQ(c.fEmptyWithValues, RegIsKeyEmpty(c.pszPath, true, HKEY_LOCAL_MACHINE));
    }
    EXPECT_EQ(Lines(), LogLines());
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

} // namespace
