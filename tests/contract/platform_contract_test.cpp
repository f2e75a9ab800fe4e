// The registry, spooler and file behaviour the program relies on. The same
// source runs on the host stand-in and under Wine, so the stand-in cannot drift
// from a real Win32 implementation unnoticed. It runs twice on each: as an NT
// machine (the stand-in's default, and Wine's), and as Windows 98 when
// MORIX_CONTRACT_OS is "win98", so that every rule the stand-in keeps apart
// for the two families is checked against Wine in both roles.
//
// Wine asked to be Windows 98 keeps some of NT's rules. Where it does, the
// test says so and expects Windows 98's answer only of the stand-in, as Wine's
// own tests accept a Windows answer that Wine does not give.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <winsim.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{
const char s_szTestKey[] = "Software\\MorixContractTest";

// The family this run checks.
bool Is9x()
{
    const char* pszOs = getenv("MORIX_CONTRACT_OS");
    return pszOs && strcmp(pszOs, "win98") == 0;
}

// The Windows build of this test runs only under Wine.
#ifdef _WIN32
const bool s_fWine = true;
#else
const bool s_fWine = false;

// The stand-in takes the version from the machine's registry whenever it is
// asked, as Wine's setting names it; Wine reads its setting once, as the
// process starts, so the Windows build's run is named for it in the prefix
// (CMakeLists.txt).
class Windows98Machine : public ::testing::Environment
{
public:
    void SetUp() override
    {
        if (!Is9x())
            return;
        HKEY hKey = 0;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine", 0, 0,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, 0, &hKey, 0));
        const char szVersion[] = "win98";
        EXPECT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(hKey, "Version", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(szVersion), sizeof(szVersion)));
        RegCloseKey(hKey);
    }
};
::testing::Environment* const s_pMachine =
    ::testing::AddGlobalTestEnvironment(new Windows98Machine);
#endif

// Where Windows 98 and Wine in its role part: Windows 98's answer on the
// stand-in, Wine's under Wine.
template <typename T> T Windows98OrWine(T tWindows98, T tWine)
{
    return s_fWine ? tWine : tWindows98;
}

class PlatformContract : public ::testing::Test
{
protected:
    void SetUp() override { DeleteTree(HKEY_CURRENT_USER, s_szTestKey); }
    void TearDown() override { DeleteTree(HKEY_CURRENT_USER, s_szTestKey); }

    static void DeleteTree(HKEY hkParent, const std::string& sPath)
    {
        HKEY hKey = 0;
        if (RegOpenKeyExA(hkParent, sPath.c_str(), 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
        {
            return;
        }
        char szName[MAX_PATH + 1];
        while (RegEnumKeyA(hKey, 0, szName, sizeof(szName)) == ERROR_SUCCESS)
        {
            DeleteTree(hKey, szName);
        }
        RegCloseKey(hKey);
        RegDeleteKeyA(hkParent, sPath.c_str());
    }

    static HKEY Create(const std::string& sPath)
    {
        HKEY hKey = 0;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(HKEY_CURRENT_USER, sPath.c_str(), 0, 0, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, 0, &hKey, 0));
        return hKey;
    }
};

TEST_F(PlatformContract, KeysAreCreatedAlongThePathAndOpenedWithoutRegardToCase)
{
    const std::string sDeep = std::string(s_szTestKey) + "\\One\\Two\\Three";
    HKEY hMissing = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_CURRENT_USER, sDeep.c_str(), 0, KEY_READ, &hMissing));

    RegCloseKey(Create(sDeep));
    HKEY hKey = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\morixcontracttest\\ONE\\two\\THREE", 0,
                            KEY_READ, &hKey));
    RegCloseKey(hKey);
}

TEST_F(PlatformContract, SubkeysEnumerateInSortedOrderAndSeeDeletionsAtOnce)
{
    HKEY hKey = Create(s_szTestKey);
    for (const char* pszName : {"delta", "Bravo", "alpha", "Charlie"})
    {
        HKEY hChild = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(hKey, pszName, 0, 0, REG_OPTION_NON_VOLATILE,
                                                 KEY_ALL_ACCESS, 0, &hChild, 0));
        RegCloseKey(hChild);
    }
    DWORD nSubkeys = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(hKey, 0, 0, 0, &nSubkeys, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(4u, nSubkeys);

    auto Names = [hKey]()
    {
        std::vector<std::string> asNames;
        char szName[MAX_PATH + 1];
        DWORD i = 0;
        LONG lResult;
        while ((lResult = RegEnumKeyA(hKey, i++, szName, sizeof(szName))) == ERROR_SUCCESS)
        {
            asNames.push_back(szName);
        }
        EXPECT_EQ(ERROR_NO_MORE_ITEMS, lResult);
        return asNames;
    };
    EXPECT_EQ((std::vector<std::string>{"alpha", "Bravo", "Charlie", "delta"}), Names());

    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(hKey, "bravo"));
    EXPECT_EQ((std::vector<std::string>{"alpha", "Charlie", "delta"}), Names());
    RegCloseKey(hKey);
}

// A printer named outside Windows-1252 ("Łódź Ā∞ Drucker"), as each family
// keeps it: NT stores the Unicode name and orders its subkeys by the names it
// stores, in lower case ('ł' after 'm'), so the A calls see the name
// converted ("Lódz A8 Drucker") but cannot open the key by it; 9x stores the
// ANSI name and orders by that ('L' before 'M').
TEST_F(PlatformContract, SubkeysComeInTheOrderOfTheNamesTheFamilyStores)
{
    OSVERSIONINFOA tVersion;
    memset(&tVersion, 0, sizeof(tVersion));
    tVersion.dwOSVersionInfoSize = sizeof(tVersion);
    ASSERT_NE(0, GetVersionExA(&tVersion));
    const bool fNt = tVersion.dwPlatformId == VER_PLATFORM_WIN32_NT;
    const char szSeen[] = "L\xF3"
                          "dz A8 Drucker";
    HKEY hKey = Create(s_szTestKey);
    RegCloseKey(Create(std::string(s_szTestKey) + "\\Model 12 USB"));
    if (!fNt)
        RegCloseKey(Create(std::string(s_szTestKey) + "\\" + szSeen));
    else
    {
        // Only a Unicode call makes such a key; the stand-in takes it as the
        // machine file carries it.
#ifdef _WIN32
        HKEY hChild = 0;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(hKey, L"\u0141\u00f3d\u017a \u0100\u221e Drucker", 0, 0,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, 0, &hChild, 0));
        RegCloseKey(hChild);
#else
        std::string sError;
        ASSERT_TRUE(winsim::ImportReg(
            std::string("REGEDIT4\n;winsim:key HKEY_CURRENT_USER\\") + s_szTestKey +
                "\\\xC5\x81\xC3\xB3"
                "d\xC5\xBA \xC4\x80\xE2\x88\x9E Drucker\n[HKEY_CURRENT_USER\\" +
                s_szTestKey + "\\" + szSeen + "]\n",
            &sError))
            << sError;
#endif
    }
    std::vector<std::string> vsNames;
    char szName[MAX_PATH + 1];
    for (DWORD i = 0; RegEnumKeyA(hKey, i, szName, sizeof(szName)) == ERROR_SUCCESS; ++i)
        vsNames.push_back(szName);
    EXPECT_EQ(fNt ? (std::vector<std::string>{"Model 12 USB", szSeen})
                  : (std::vector<std::string>{szSeen, "Model 12 USB"}),
              vsNames);
    HKEY hPrinter = 0;
    EXPECT_EQ(fNt ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS,
              RegOpenKeyExA(hKey, szSeen, 0, KEY_READ, &hPrinter));
    RegCloseKey(hPrinter);
    if (fNt)
    {
        // What the A calls cannot open, they cannot delete either: the test
        // key goes with the tree the Unicode call removes.
#ifdef _WIN32
        RegDeleteKeyW(hKey, L"\u0141\u00f3d\u017a \u0100\u221e Drucker");
#else
        std::string sError;
        winsim::ImportReg(std::string("REGEDIT4\n;winsim:key HKEY_CURRENT_USER\\") + s_szTestKey +
                              "\\\xC5\x81\xC3\xB3"
                              "d\xC5\xBA \xC4\x80\xE2\x88\x9E Drucker\n[-HKEY_CURRENT_USER\\" +
                              s_szTestKey + "\\" + szSeen + "]\n",
                          &sError);
#endif
    }
    RegCloseKey(hKey);
}

TEST_F(PlatformContract, ValueQueriesReportTypeSizeAndShortBuffers)
{
    HKEY hKey = Create(s_szTestKey);
    const char szText[] = "Model 12";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hKey, "Text", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(szText), sizeof(szText)));
    DWORD dwValue = 0x12345678;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hKey, "Number", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&dwValue), 4));

    DWORD dwType = 0xdeadbeef;
    DWORD cbData = 0xdeadbeef;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(hKey, "TEXT", 0, &dwType, 0, &cbData));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), dwType);
    EXPECT_EQ(sizeof(szText), cbData);

    BYTE abSmall[4];
    memset(abSmall, 0xbd, sizeof(abSmall));
    cbData = sizeof(abSmall);
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(hKey, "Text", 0, 0, abSmall, &cbData));
    EXPECT_EQ(sizeof(szText), cbData);

    BYTE abData[64];
    cbData = sizeof(abData);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(hKey, "number", 0, &dwType, abData, &cbData));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), dwType);
    EXPECT_EQ(4u, cbData);
    EXPECT_EQ(0, memcmp(abData, &dwValue, 4));

    cbData = sizeof(abData);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(hKey, "Missing", 0, &dwType, 0, &cbData));

    DWORD nValues = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(hKey, 0, 0, 0, 0, 0, 0, &nValues, 0, 0, 0, 0));
    EXPECT_EQ(2u, nValues);
    RegCloseKey(hKey);
}

// NT deletes only a key without subkeys; the 9x family takes the whole subtree.
TEST_F(PlatformContract, AKeyWithSubkeysGoesOnlyOn9x)
{
    HKEY hKey = Create(std::string(s_szTestKey) + "\\Parent\\Child\\Grandchild");
    RegCloseKey(hKey);
    hKey = Create(s_szTestKey);
    if (Is9x())
    {
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(hKey, "Parent"));
        HKEY hChild = 0;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(hKey, "Parent\\Child", 0, KEY_READ, &hChild));
    }
    else
    {
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(hKey, "Parent"));
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(hKey, "Parent\\Child"));
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(hKey, "Parent\\Child\\Grandchild"));
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(hKey, "Parent\\Child"));
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(hKey, "Parent"));
    }
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(hKey, "Parent"));
    RegCloseKey(hKey);
}

// NT lets a handle do only what it was opened for; the 9x family checks no
// rights on registry handles.
TEST_F(PlatformContract, AHandleDoesOnlyWhatItWasOpenedForOnNt)
{
    RegCloseKey(Create(std::string(s_szTestKey) + "\\Child"));
    HKEY hQuery = 0;
    HKEY hSet = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, s_szTestKey, 0, KEY_QUERY_VALUE, &hQuery));
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, s_szTestKey, 0, KEY_SET_VALUE, &hSet));
    const BYTE abData[1] = {1};
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(hSet, "Set", 0, REG_BINARY, abData, 1));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(hQuery, "Set", 0, 0, 0, 0));

    const LONG lBeyondRights = Is9x() ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    EXPECT_EQ(lBeyondRights, RegSetValueExA(hQuery, "Query", 0, REG_BINARY, abData, 1));
    EXPECT_EQ(lBeyondRights, RegQueryValueExA(hSet, "Set", 0, 0, 0, 0));
    char szName[MAX_PATH + 1];
    EXPECT_EQ(lBeyondRights, RegEnumKeyA(hSet, 0, szName, sizeof(szName)));
    RegCloseKey(hQuery);
    RegCloseKey(hSet);
}

TEST_F(PlatformContract, AClosedHandleIsRefused)
{
    HKEY hKey = Create(s_szTestKey);
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(hKey));
    DWORD nSubkeys = 0;
    EXPECT_EQ(ERROR_INVALID_HANDLE,
              RegQueryInfoKeyA(hKey, 0, 0, 0, &nSubkeys, 0, 0, 0, 0, 0, 0, 0));
}

TEST(SpoolerContract, PortsComeInTwoCallsWithStringsInTheSameBuffer)
{
    DWORD cbNeeded = 0;
    DWORD nPorts = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnumPortsA(0, 2, 0, 0, &cbNeeded, &nPorts));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    ASSERT_GT(cbNeeded, sizeof(PORT_INFO_2A));

    std::vector<BYTE> abBuffer(cbNeeded, 0xbd);
    ASSERT_TRUE(EnumPortsA(0, 2, abBuffer.data(), cbNeeded, &cbNeeded, &nPorts));
    ASSERT_GE(nPorts, 1u);
    const BYTE* pbBegin = abBuffer.data();
    const BYTE* pbEnd = pbBegin + abBuffer.size();
    const PORT_INFO_2A* ptPorts = reinterpret_cast<const PORT_INFO_2A*>(pbBegin);
    bool fLpt1 = false;
    for (DWORD i = 0; i < nPorts; ++i)
    {
        const BYTE* pbName = reinterpret_cast<const BYTE*>(ptPorts[i].pPortName);
        ASSERT_TRUE(pbName >= pbBegin + nPorts * sizeof(PORT_INFO_2A) && pbName < pbEnd);
        fLpt1 = fLpt1 || strcmp(ptPorts[i].pPortName, "LPT1:") == 0;
    }
    EXPECT_TRUE(fLpt1);
}

TEST(SystemContract, VersionRecordOfTheClassicSizeIsFilled)
{
    OSVERSIONINFOA tVersion;
    memset(&tVersion, 0, sizeof(tVersion));
    tVersion.dwOSVersionInfoSize = sizeof(tVersion);
    ASSERT_EQ(148u, sizeof(tVersion));
    ASSERT_NE(0, GetVersionExA(&tVersion));
    if (Is9x())
    {
        // Windows 98 Second Edition, 4.10.2222 " A "; the 9x family repeats the
        // version in the build number's high word.
        EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS), tVersion.dwPlatformId);
        EXPECT_EQ(4u, tVersion.dwMajorVersion);
        EXPECT_EQ(10u, tVersion.dwMinorVersion);
        EXPECT_EQ(0x040A08AEu, tVersion.dwBuildNumber);
        EXPECT_STREQ(" A ", tVersion.szCSDVersion);
    }
    else
    {
        EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), tVersion.dwPlatformId);
        EXPECT_GE(tVersion.dwMajorVersion, 4u);
    }
}

// How the log makes its file: created afresh or not at all, written as text,
// and on NT a name taken away only when nobody holds the file without delete
// sharing (the runtime's streams never share deletion). Windows 98 deletes a
// file in use all the same; Wine asked to be Windows 98 keeps NT's rule.
TEST(FileContract, CreatingAfreshRefusesAnyExistingNameAndDeletingRespectsSharing)
{
    const char szName[] = "morix_contract_file.tmp";
    const int nCreateNew = _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT;
    DeleteFileA(szName);
    int nFile = _open(szName, nCreateNew, _S_IREAD | _S_IWRITE);
    ASSERT_NE(-1, nFile);
    FILE* pFile = _fdopen(nFile, "w");
    ASSERT_NE(nullptr, pFile);
    EXPECT_EQ(4, fprintf(pFile, "a\nb\n"));
    fflush(pFile);

    errno = 0;
    EXPECT_EQ(-1, _open(szName, nCreateNew, _S_IREAD | _S_IWRITE));
    EXPECT_EQ(EEXIST, errno);
    fclose(pFile);

    pFile = fopen(szName, "rb");
    ASSERT_NE(nullptr, pFile);
    char achBytes[16] = {0};
    EXPECT_EQ(6u, fread(achBytes, 1, sizeof(achBytes), pFile));
    EXPECT_STREQ("a\r\nb\r\n", achBytes);
    const bool fDeletesInUse = Is9x() && Windows98OrWine(true, false);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(fDeletesInUse, DeleteFileA(szName) != FALSE);
    if (!fDeletesInUse)
    {
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    }
    fclose(pFile);

    EXPECT_EQ(!fDeletesInUse, DeleteFileA(szName) != FALSE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileA(szName));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileA("morix_no_such_folder\\x.tmp"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());

    const char szFolder[] = "morix_contract_folder.tmp";
    CreateDirectoryA(szFolder, nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileA(szFolder));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    errno = 0;
    EXPECT_EQ(-1, _open(szFolder, nCreateNew, _S_IREAD | _S_IWRITE));
    EXPECT_EQ(EEXIST, errno);
}
} // namespace
