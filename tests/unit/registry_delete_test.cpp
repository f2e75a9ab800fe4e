// Key deletion: path forms, missing keys, deletion order, wide trees, the
// platform's single-key rule on NT and 9x, and failures deep in a subtree.
#include <string>
#include <vector>

#include "morix_test_util.h"
#include "qvzvesk/qvzvesk_registry.h"

namespace
{

using morix_test::kRegistry;
using morix_test::Lines;
using morix_test::MorixTest;
using morix_test::Report;

const char kChildOpenFailed[] = "(lResult = RegOpenKeyEx( hRegKey, sSubkey.c_str(), 0, "
                                "KEY_ALL_ACCESS, &hRegSubkey )) != ERROR_SUCCESS";
const char kRecursionFailed[] = "RegRecursiveDeleteKey( hRegKey, sSubkey ) == false";
const char kInnerRecursionFailed[] = "RegRecursiveDeleteKey( hRegSubkey, pszSubkeyName ) == false";
const char kEnumFailed[] = "(lResult = RegEnumKey( hRegSubkey, (nSubkeys - iSubkey - 1), "
                           "pszSubkeyName, _MAX_PATH + 1 )) != ERROR_SUCCESS";
const char kInfoFailed[] = "(lResult = RegQueryInfoKey( hRegSubkey, 0, 0, 0, &nSubkeys, 0, 0, 0, "
                           "0, 0, 0, 0 )) != ERROR_SUCCESS";

bool Exists(const std::string& sPath)
{
    return winsim::KeyExists("HKEY_LOCAL_MACHINE\\" + sPath);
}

class RegistryDeleteTest : public MorixTest
{
protected:
    void SetUp() override
    {
        MorixTest::SetUp();
        // Root{A{A1{X, Y}}, B}: NT, so a key with subkeys cannot go in one call.
        SetVersion("winxp");
        Import("[HKEY_LOCAL_MACHINE\\T\\Root\\A\\A1\\X]\n"
               "[HKEY_LOCAL_MACHINE\\T\\Root\\A\\A1\\Y]\n"
               "[HKEY_LOCAL_MACHINE\\T\\Root\\B]\n\"V\"=\"x\"\n"
               "[HKEY_LOCAL_MACHINE\\T\\Leaf]\n"
               "[HKEY_LOCAL_MACHINE\\Top]");
    }
};

TEST_F(RegistryDeleteTest, PathForms)
{
    const struct
    {
        const char* pszPath;
        bool fRecursive;
        bool fResult;
        Lines vsLines;
        const char* pszGone;
    } aCases[] = {
        {"T\\Leaf\\", false, true, {}, "T\\Leaf"},
        {"T\\Root\\B\\", true, true, {}, "T\\Root\\B"},
        {"t\\root\\a\\a1\\x", false, true, {}, "T\\Root\\A\\A1\\X"},
        {"Top",
         false,
         false,
         {Report(kRegistry, "isRegKey == CQvCiString::npos"),
          "RegDeleteKey (Top) Failed, lResult = 0xffffffff"},
         nullptr},
        {"Top\\",
         true,
         false,
         {Report(kRegistry, "isRegKey == CQvCiString::npos"),
          "RegDeleteKey (Top\\) Failed, lResult = 0xffffffff"},
         nullptr},
        {"\\Top",
         true,
         false,
         {Report(kRegistry, "sRegKey.empty()"),
          "RegDeleteKey (\\Top) Failed, lResult = 0xffffffff"},
         nullptr},
        {"T\\Root\\\\",
         true,
         false,
         {Report(kRegistry, "sSubkey.empty()"),
          "RegDeleteKey (T\\Root\\\\) Failed, lResult = 0xffffffff"},
         nullptr},
        {"Nope\\Child",
         true,
         false,
         {Report(kRegistry, "lResult != ERROR_SUCCESS"),
          "RegDeleteKey (Nope\\Child) Failed, lResult = 0x00000002"},
         nullptr},
        {"T\\Missing",
         true,
         false,
         {Report(kRegistry, kChildOpenFailed), Report(kRegistry, kRecursionFailed),
          "RegDeleteKey (T\\Missing) Failed, lResult = 0xffffffff"},
         nullptr},
        {"T\\Missing",
         false,
         false,
         {Report(kRegistry, "lResult != ERROR_SUCCESS"),
          "RegDeleteKey (T\\Missing) Failed, lResult = 0x00000002"},
         nullptr},
        {"T\\Root",
         false,
         false,
         {Report(kRegistry, "lResult != ERROR_SUCCESS"),
          "RegDeleteKey (T\\Root) Failed, lResult = 0x00000005"},
         nullptr},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(std::string(c.pszPath) + (c.fRecursive ? " recursive" : ""));
        size_t nBefore = LogLines().size();
        EXPECT_EQ(c.fResult, RegDeleteKey(c.pszPath, c.fRecursive, HKEY_LOCAL_MACHINE));
        Lines vsLines = LogLines();
        EXPECT_EQ(c.vsLines, Lines(vsLines.begin() + static_cast<long>(nBefore), vsLines.end()));
        if (c.pszGone)
        {
            EXPECT_FALSE(Exists(c.pszGone));
        }
        EXPECT_EQ(0, winsim::OpenKeyCount());
    }
    EXPECT_TRUE(Exists("Top"));
    EXPECT_TRUE(Exists("T\\Root\\A\\A1\\Y"));
}

TEST_F(RegistryDeleteTest, Preconditions)
{
    EXPECT_FALSE(RegDeleteKey("", true, HKEY_LOCAL_MACHINE));
    EXPECT_FALSE(RegDeleteKey("T\\Leaf", true, 0));
    EXPECT_FALSE(RegRecursiveDeleteKey(0, "Leaf"));
    EXPECT_FALSE(RegRecursiveDeleteKey(HKEY_LOCAL_MACHINE, ""));
    EXPECT_EQ(Lines({Report(kRegistry, "sPath.empty()"), Report(kRegistry, "hkRoot == 0"),
                     Report(kRegistry, "hRegKey == 0"), Report(kRegistry, "sSubkey.empty()")}),
              LogLines());
    EXPECT_TRUE(Exists("T\\Leaf"));
}

TEST_F(RegistryDeleteTest, SubtreeGoesDeepestFirstAndLastIndexFirst)
{
    // Before each single-key delete, note which keys are already gone.
    const std::vector<std::string> vsKeys = {"T\\Root\\A\\A1\\X", "T\\Root\\A\\A1\\Y",
                                             "T\\Root\\A\\A1",    "T\\Root\\A",
                                             "T\\Root\\B",        "T\\Root"};
    std::vector<std::vector<std::string>> vvsGoneBefore;
    for (int n = 1; n <= 6; ++n)
    {
        winsim::OnCall("RegDeleteKeyA", n,
                       [&]
                       {
                           std::vector<std::string> vsGone;
                           for (const std::string& sKey : vsKeys)
                               if (!Exists(sKey))
                                   vsGone.push_back(sKey);
                           vvsGoneBefore.push_back(vsGone);
                       });
    }
    EXPECT_TRUE(RegDeleteKey("T\\Root", true, HKEY_LOCAL_MACHINE));
    EXPECT_EQ(Lines(), LogLines());
    EXPECT_EQ(6, winsim::CallCount("RegDeleteKeyA"));
    const std::vector<std::vector<std::string>> vvsExpected = {
        {},
        {"T\\Root\\B"},
        {"T\\Root\\A\\A1\\Y", "T\\Root\\B"},
        {"T\\Root\\A\\A1\\X", "T\\Root\\A\\A1\\Y", "T\\Root\\B"},
        {"T\\Root\\A\\A1\\X", "T\\Root\\A\\A1\\Y", "T\\Root\\A\\A1", "T\\Root\\B"},
        {"T\\Root\\A\\A1\\X", "T\\Root\\A\\A1\\Y", "T\\Root\\A\\A1", "T\\Root\\A", "T\\Root\\B"},
    };
    EXPECT_EQ(vvsExpected, vvsGoneBefore);
    EXPECT_FALSE(Exists("T\\Root"));
    EXPECT_TRUE(Exists("T\\Leaf"));
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(RegistryDeleteTest, WideTreeGoesCompletely)
{
    std::string sText;
    for (int i = 0; i < 300; ++i)
    {
        sText += "[HKEY_LOCAL_MACHINE\\Wide\\Tree\\Child" + std::to_string(i) + "\\Grand]\n";
        sText += "\"V\"=dword:" + std::to_string(i) + "\n";
    }
    Import(sText);
    EXPECT_TRUE(RegDeleteKey("Wide\\Tree", true, HKEY_LOCAL_MACHINE));
    EXPECT_EQ(Lines(), LogLines());
    EXPECT_FALSE(Exists("Wide\\Tree"));
    EXPECT_TRUE(Exists("Wide"));
    EXPECT_EQ(601, winsim::CallCount("RegDeleteKeyA"));
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(RegistryDeleteTest, SingleKeyDeleteOfAKeyWithSubkeysFollowsThePlatform)
{
    EXPECT_FALSE(RegDeleteKey("T\\Root\\A", false, HKEY_LOCAL_MACHINE));
    EXPECT_EQ(Lines({Report(kRegistry, "lResult != ERROR_SUCCESS"),
                     "RegDeleteKey (T\\Root\\A) Failed, lResult = 0x00000005"}),
              LogLines());
    EXPECT_TRUE(Exists("T\\Root\\A\\A1\\X"));

    SetVersion("win98");
    EXPECT_TRUE(RegDeleteKey("T\\Root\\A", false, HKEY_LOCAL_MACHINE));
    EXPECT_EQ(2u, LogLines().size());
    EXPECT_FALSE(Exists("T\\Root\\A"));
    EXPECT_TRUE(Exists("T\\Root\\B"));
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(RegistryDeleteTest, FailureInsideTheSubtreeStopsEverything)
{
    // Platform calls of deleting T\Root, in order:
    //   open T (1), open Root (2), info Root (1), enum Root#1=B (1),
    //   open B (3), info B (2), delete B (1),
    //   enum Root#0=A (2), open A (4), info A (3), enum A#0=A1 (3),
    //   open A1 (5), info A1 (4), enum A1#1=Y (4), open Y (6), info Y (5), delete Y (2),
    //   enum A1#0=X (5), ...
    const struct
    {
        const char* pszName;
        const char* pszFunction;
        int nNth;
        Lines vsReports;
        const char* pszStatus;
        std::vector<std::string> vsGone;
    } aCases[] = {
        {"parent open",
         "RegOpenKeyExA",
         1,
         {Report(kRegistry, "lResult != ERROR_SUCCESS")},
         "0x00000005",
         {}},
        {"enumeration three levels down",
         "RegEnumKeyA",
         5,
         {Report(kRegistry, kEnumFailed), Report(kRegistry, kInnerRecursionFailed),
          Report(kRegistry, kInnerRecursionFailed), Report(kRegistry, kRecursionFailed)},
         "0xffffffff",
         {"T\\Root\\B", "T\\Root\\A\\A1\\Y"}},
        {"child open two levels down",
         "RegOpenKeyExA",
         5,
         {Report(kRegistry, kChildOpenFailed), Report(kRegistry, kInnerRecursionFailed),
          Report(kRegistry, kInnerRecursionFailed), Report(kRegistry, kRecursionFailed)},
         "0xffffffff",
         {"T\\Root\\B"}},
        {"subkey count",
         "RegQueryInfoKeyA",
         3,
         {Report(kRegistry, kInfoFailed), Report(kRegistry, kInnerRecursionFailed),
          Report(kRegistry, kRecursionFailed)},
         "0xffffffff",
         {"T\\Root\\B"}},
        {"single delete of a leaf",
         "RegDeleteKeyA",
         2,
         {Report(kRegistry, "lResult != ERROR_SUCCESS"), Report(kRegistry, kInnerRecursionFailed),
          Report(kRegistry, kInnerRecursionFailed), Report(kRegistry, kInnerRecursionFailed),
          Report(kRegistry, kRecursionFailed)},
         "0xffffffff",
         {"T\\Root\\B"}},
    };
    const std::vector<std::string> vsAll = {"T\\Root\\A\\A1\\X", "T\\Root\\A\\A1\\Y",
                                            "T\\Root\\A\\A1",    "T\\Root\\A",
                                            "T\\Root\\B",        "T\\Root"};
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        TearDown();
        SetUp();
        winsim::FailCall(c.pszFunction, c.nNth, ERROR_ACCESS_DENIED);
        EXPECT_FALSE(RegDeleteKey("T\\Root", true, HKEY_LOCAL_MACHINE));
        Lines vsExpected = c.vsReports;
        vsExpected.push_back(std::string("RegDeleteKey (T\\Root) Failed, lResult = ") +
                             c.pszStatus);
        EXPECT_EQ(vsExpected, LogLines());
        for (const std::string& sKey : vsAll)
        {
            bool fGone = false;
            for (const std::string& sGone : c.vsGone)
                fGone = fGone || sGone == sKey;
            EXPECT_EQ(!fGone, Exists(sKey)) << sKey;
        }
        EXPECT_EQ(0, winsim::OpenKeyCount());
    }
}

} // namespace
