// The registry calls against the contracts Windows and Wine keep.
#include "platform_test_util.h"

#include <cstring>
#include <vector>

namespace
{

using platform_test::PlatformTest;

HKEY Create(HKEY hRoot, const char* pszPath)
{
    HKEY hKey = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(hRoot, pszPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &hKey, nullptr));
    return hKey;
}

void CreateAndClose(HKEY hRoot, const char* pszPath)
{
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(Create(hRoot, pszPath)));
}

std::vector<std::string> SubkeyNames(HKEY hRoot, const char* pszPath)
{
    HKEY hKey = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(hRoot, pszPath, 0, KEY_READ, &hKey));
    std::vector<std::string> vsNames;
    char szName[MAX_PATH + 1];
    DWORD iKey = 0;
    LONG lResult;
    while ((lResult = RegEnumKeyA(hKey, iKey++, szName, sizeof szName)) == ERROR_SUCCESS)
        vsNames.push_back(szName);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, lResult);
    RegCloseKey(hKey);
    return vsNames;
}

class RegistryTest : public PlatformTest
{
};

TEST_F(RegistryTest, KeyNamesIgnoreCaseAndKeepTheirSpelling)
{
    CreateAndClose(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brenmoor\\QVZ");

    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\BRENMOOR\\qvz", 0, KEY_READ, &hKey));
    RegCloseKey(hKey);
    // Creating with other spelling opens the existing key and renames nothing.
    DWORD dwDisposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\brenmoor", 0, nullptr,
                                             0, KEY_ALL_ACCESS, nullptr, &hKey, &dwDisposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), dwDisposition);
    RegCloseKey(hKey);
    EXPECT_EQ(std::vector<std::string>{"Brenmoor"}, SubkeyNames(HKEY_LOCAL_MACHINE, "SOFTWARE"));
    EXPECT_TRUE(winsim::KeyExists("hklm\\software\\brenmoor\\QVZ"));
}

TEST_F(RegistryTest, SubkeysEnumerateInWinesCaseFoldedOrder)
{
    for (const char* pszName : {"AAB", "A_B", "a[", "AZ", "a^", "b", "B2", "Ab"})
        CreateAndClose(HKEY_CURRENT_USER, (std::string("Order\\") + pszName).c_str());
    // Letters fold to lower case, so '_', '[' and '^' sort before letters.
    std::vector<std::string> vsExpected = {"a[", "a^", "A_B", "AAB", "Ab", "AZ", "b", "B2"};
    EXPECT_EQ(vsExpected, SubkeyNames(HKEY_CURRENT_USER, "Order"));
}

TEST_F(RegistryTest, OpenAndCreateFollowWinesPathRules)
{
    HKEY hKey = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Missing", 0, KEY_READ, &hKey));
    EXPECT_EQ(nullptr, hKey);

    DWORD dwDisposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A\\B\\C", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &hKey, &dwDisposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), dwDisposition);
    EXPECT_TRUE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\A\\B"));
    RegCloseKey(hKey);

    // A leading backslash is a bad path; doubled and trailing ones are ignored.
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\A", 0, KEY_READ, &hKey));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\A\\D", 0, nullptr, 0,
                                                  KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
    EXPECT_FALSE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\A\\D"));
    for (const char* pszPath : {"A\\\\B", "A\\B\\", "A\\B\\\\"})
    {
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszPath, 0, KEY_READ, &hKey))
            << pszPath;
        RegCloseKey(hKey);
    }

    // An empty or null subkey opens the same key anew; a root stays itself.
    HKEY hParent = Create(HKEY_LOCAL_MACHINE, "A");
    for (const char* pszEmpty : {static_cast<const char*>(nullptr), ""})
    {
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(hParent, pszEmpty, 0, KEY_READ, &hKey));
        EXPECT_NE(hParent, hKey);
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(hKey));
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, pszEmpty, 0, KEY_READ, &hKey));
        EXPECT_EQ(HKEY_CURRENT_USER, hKey);
    }
    RegCloseKey(hParent);
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(RegistryTest, BadAndClosedHandlesAreRefusedNotFollowed)
{
    HKEY hKey = Create(HKEY_LOCAL_MACHINE, "Key");
    EXPECT_EQ(1, winsim::OpenKeyCount());
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(hKey));
    EXPECT_EQ(0, winsim::OpenKeyCount());

    HKEY hResult = nullptr;
    DWORD dwCount = 0;
    char szName[16];
    BYTE abData[4];
    for (HKEY hBad : {hKey, static_cast<HKEY>(nullptr), reinterpret_cast<HKEY>(0x1234)})
    {
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(hBad));
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(hBad, "x", 0, KEY_READ, &hResult));
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegCreateKeyExA(hBad, "x", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                        nullptr, &hResult, nullptr));
        EXPECT_EQ(ERROR_INVALID_HANDLE,
                  RegQueryValueExA(hBad, "v", nullptr, nullptr, nullptr, &dwCount));
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExA(hBad, "v", 0, REG_BINARY, abData, 4));
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegFlushKey(hBad));
        EXPECT_EQ(ERROR_INVALID_HANDLE,
                  RegQueryInfoKeyA(hBad, nullptr, nullptr, nullptr, &dwCount, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegEnumKeyA(hBad, 0, szName, sizeof szName));
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteKeyA(hBad, "x"));
    }
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
}

TEST_F(RegistryTest, ValuesKeepTypeAndExactBytes)
{
    HKEY hKey = Create(HKEY_LOCAL_MACHINE, "Values");
    const BYTE abSix[] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(hKey, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("abcXYZ"), 3));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hKey, "Empty", 0, REG_SZ, nullptr, 0));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hKey, "Odd", 0, REG_DWORD, abSix, 6));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("dflt"), 5));
    EXPECT_EQ(ERROR_NOACCESS, RegSetValueExA(hKey, "NoData", 0, REG_BINARY, nullptr, 4));

    DWORD dwType = 0;
    std::string sBytes;
    ASSERT_TRUE(winsim::GetValue("HKLM\\Values", "TEXT", &dwType, &sBytes));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), dwType);
    EXPECT_EQ("abc", sBytes);
    ASSERT_TRUE(winsim::GetValue("HKLM\\Values", "Empty", &dwType, &sBytes));
    EXPECT_EQ("", sBytes);
    ASSERT_TRUE(winsim::GetValue("HKLM\\Values", "Odd", &dwType, &sBytes));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), dwType);
    EXPECT_EQ(std::string("\1\2\3\4\5\6", 6), sBytes);
    // Null and empty names both mean the default value.
    ASSERT_TRUE(winsim::GetValue("HKLM\\Values", "", &dwType, &sBytes));
    EXPECT_EQ(std::string("dflt\0", 5), sBytes);
    EXPECT_FALSE(winsim::GetValue("HKLM\\Values", "NoData", &dwType, &sBytes));

    // Rewriting a value under another spelling replaces it in place.
    DWORD dwValue = 7;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hKey, "odd", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&dwValue), 4));
    DWORD nValues = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nValues,
                               nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(4u, nValues);
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, QueryValueFollowsTheSizeContract)
{
    HKEY hKey = Create(HKEY_LOCAL_MACHINE, "Values");
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(hKey, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>("hello"), 6));
    DWORD dwType = 0xdeadbeef;
    DWORD cbData = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(hKey, "name", nullptr, &dwType, nullptr, &cbData));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), dwType);
    EXPECT_EQ(6u, cbData);

    BYTE abBuffer[16];
    memset(abBuffer, 0xbd, sizeof abBuffer);
    cbData = 5;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(hKey, "Name", nullptr, &dwType, abBuffer, &cbData));
    EXPECT_EQ(6u, cbData);
    EXPECT_EQ(0xbd, abBuffer[0]) << "a refused read leaves the buffer alone";

    cbData = sizeof abBuffer;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(hKey, "Name", nullptr, nullptr, abBuffer, &cbData));
    EXPECT_EQ(6u, cbData);
    EXPECT_STREQ("hello", reinterpret_cast<char*>(abBuffer));
    EXPECT_EQ(0xbd, abBuffer[6]);

    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExA(hKey, "Other", nullptr, &dwType, nullptr, &cbData));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExA(hKey, nullptr, nullptr, &dwType, nullptr, &cbData));
    DWORD dwReserved = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegQueryValueExA(hKey, "Name", &dwReserved, &dwType, nullptr, &cbData));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegQueryValueExA(hKey, "Name", nullptr, &dwType, abBuffer, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(hKey, "Name", nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, EnumKeyAndQueryInfoReportNamesCountsAndSizes)
{
    CreateAndClose(HKEY_LOCAL_MACHINE, "Parent\\Ab");
    CreateAndClose(HKEY_LOCAL_MACHINE, "Parent\\Longest");
    HKEY hKey = Create(HKEY_LOCAL_MACHINE, "Parent");
    const BYTE abData[10] = {};
    RegSetValueExA(hKey, "ValueName", 0, REG_BINARY, abData, sizeof abData);
    RegSetValueExA(hKey, "V", 0, REG_BINARY, abData, 3);

    DWORD nSubkeys = 0, cchMaxSubkey = 0, nValues = 0, cchMaxValueName = 0, cbMaxValue = 0;
    char szClass[8] = "junk";
    DWORD cchClass = sizeof szClass;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryInfoKeyA(hKey, szClass, &cchClass, nullptr, &nSubkeys, &cchMaxSubkey, nullptr,
                               &nValues, &cchMaxValueName, &cbMaxValue, nullptr, nullptr));
    EXPECT_EQ(2u, nSubkeys);
    EXPECT_EQ(7u, cchMaxSubkey);
    EXPECT_EQ(2u, nValues);
    EXPECT_EQ(9u, cchMaxValueName);
    EXPECT_EQ(10u, cbMaxValue);
    EXPECT_EQ(0u, cchClass);
    EXPECT_STREQ("", szClass);

    char szName[8];
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyA(hKey, 0, szName, 3)); // "Ab" and its NUL fit exactly
    EXPECT_STREQ("Ab", szName);
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyA(hKey, 1, szName, 7));
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyA(hKey, 1, szName, 8));
    EXPECT_STREQ("Longest", szName);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(hKey, 2, szName, 8));
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, NtRefusesToDeleteAKeyWithSubkeys)
{
    SetVersion("winxp");
    CreateAndClose(HKEY_LOCAL_MACHINE, "Tree\\Child\\Grandchild");
    HKEY hTree = Create(HKEY_LOCAL_MACHINE, "Tree");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(hTree, "Child"));
    EXPECT_TRUE(winsim::KeyExists("HKLM\\Tree\\Child\\Grandchild"));

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(hTree, "child\\GRANDCHILD"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(hTree, "Child"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(hTree, "Child"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyA(hTree, nullptr));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegDeleteKeyA(hTree, "\\Child"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""));
    // An empty name deletes the key the handle stands for.
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(hTree, ""));
    EXPECT_FALSE(winsim::KeyExists("HKLM\\Tree"));
    RegCloseKey(hTree);
}

TEST_F(RegistryTest, NineXDeletesTheWholeSubtreeAndEnumerationSeesItAtOnce)
{
    SetVersion("win98");
    for (const char* pszPath : {"Tree\\A", "Tree\\B\\Deep\\Deeper", "Tree\\C"})
        CreateAndClose(HKEY_LOCAL_MACHINE, pszPath);
    HKEY hTree = Create(HKEY_LOCAL_MACHINE, "Tree");
    HKEY hDeep = Create(HKEY_LOCAL_MACHINE, "Tree\\B\\Deep");

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(hTree, "B"));
    EXPECT_FALSE(winsim::KeyExists("HKLM\\Tree\\B"));
    char szName[16];
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyA(hTree, 1, szName, sizeof szName));
    EXPECT_STREQ("C", szName);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(hTree, 2, szName, sizeof szName));

    // A handle into the deleted subtree stays safe: every call says so.
    HKEY hResult = nullptr;
    DWORD cbData = 0;
    const BYTE abData[1] = {0};
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExA(hDeep, "Deeper", 0, KEY_READ, &hResult));
    EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyExA(hDeep, "New", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &hResult, nullptr));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(hDeep, "V", 0, REG_BINARY, abData, 1));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(hDeep, "V", nullptr, nullptr, nullptr, &cbData));
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyA(hDeep, 0, szName, sizeof szName));
    EXPECT_EQ(ERROR_KEY_DELETED, RegFlushKey(hDeep));
    EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteKeyA(hDeep, ""));
    EXPECT_FALSE(winsim::KeyExists("HKLM\\Tree\\B\\Deep\\New"));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(hDeep));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(hDeep));
    RegCloseKey(hTree);
}

TEST_F(RegistryTest, AccessRightsAreCheckedOnNtOnly)
{
    CreateAndClose(HKEY_LOCAL_MACHINE, "Key\\Sub");
    const BYTE abData[1] = {1};
    char szName[8];
    DWORD cbData = 0;
    HKEY hRead = nullptr;
    HKEY hWrite = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Key", 0, KEY_READ, &hRead));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Key", 0, KEY_SET_VALUE, &hWrite));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(hRead, "V", 0, REG_BINARY, abData, 1));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(hWrite, "V", 0, REG_BINARY, abData, 1));
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegQueryValueExA(hWrite, "V", nullptr, nullptr, nullptr, &cbData));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegEnumKeyA(hWrite, 0, szName, sizeof szName));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(hRead, "V", nullptr, nullptr, nullptr, &cbData));

    SetVersion("winme");
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(hRead, "V", 0, REG_BINARY, abData, 1));
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyA(hWrite, 0, szName, sizeof szName));
    RegCloseKey(hRead);
    RegCloseKey(hWrite);
}

TEST_F(RegistryTest, EveryChangeIsWrittenBackToTheMachineFolder)
{
    platform_test::TempFolder folder;
    std::string sError;
    ASSERT_TRUE(winsim::LoadMachine(folder.Path(), &sError)) << sError;
    EXPECT_FALSE(platform_test::PathExists(folder / "registry.reg")) << "loading writes nothing";

    HKEY hKey = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brenmoor");
    std::string sSaved = platform_test::ReadFileBytes(folder / "registry.reg");
    EXPECT_NE(std::string::npos, sSaved.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor]"));

    DWORD dwValue = 1;
    RegSetValueExA(hKey, "SetupRan", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), 4);
    sSaved = platform_test::ReadFileBytes(folder / "registry.reg");
    EXPECT_NE(std::string::npos, sSaved.find("\"SetupRan\"=dword:00000001"));
    EXPECT_FALSE(platform_test::PathExists(folder / "registry.reg.tmp"));
    RegCloseKey(hKey);

    // A second load of the same folder sees what the first one wrote.
    winsim::Reset();
    ASSERT_TRUE(winsim::LoadMachine(folder.Path(), &sError)) << sError;
    EXPECT_TRUE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor"));
    EXPECT_TRUE(
        winsim::GetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor", "SetupRan", nullptr, nullptr));
}

} // namespace
