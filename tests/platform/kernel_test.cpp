// Kernel services, path mapping and the runtime's fopen.
#include "platform_test_util.h"

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <vector>

namespace
{

using platform_test::PathExists;
using platform_test::PlatformTest;
using platform_test::ReadFileBytes;
using platform_test::WriteFileBytes;

class KernelTest : public PlatformTest
{
protected:
    // Makes C:\Dir with a few files and an empty folder.
    std::string MakeTree()
    {
        std::string sDir = winsim::DriveRoot('C') + "/Dir";
        std::filesystem::create_directories(sDir + "/Empty");
        for (const char* pszName : {"Abc.txt", "a", "ab.c.d", "noext", "Log00.log"})
            WriteFileBytes(sDir + "/" + pszName, "x");
        return sDir;
    }

    static std::vector<std::string> Find(const char* pszPattern, DWORD* pdwError = nullptr)
    {
        std::vector<std::string> vsNames;
        WIN32_FIND_DATAA data;
        SetLastError(0);
        HANDLE hFind = FindFirstFileA(pszPattern, &data);
        if (hFind == INVALID_HANDLE_VALUE)
        {
            if (pdwError)
                *pdwError = GetLastError();
            return vsNames;
        }
        do
            vsNames.push_back(data.cFileName);
        while (FindNextFileA(hFind, &data));
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
        EXPECT_TRUE(FindClose(hFind));
        return vsNames;
    }
};

using Names = std::vector<std::string>;

TEST_F(KernelTest, PathsMapToTheMachinesDrivesIgnoringCase)
{
    std::string sRoot = winsim::DriveRoot('C');
    std::filesystem::create_directories(sRoot + "/Apps/Brenmoor");
    WriteFileBytes(sRoot + "/Apps/Brenmoor/QvzCon14.dll", "");

    EXPECT_EQ(sRoot + "/Apps/Brenmoor/QvzCon14.dll",
              winsim::MapPath("C:\\APPS\\BRENMOOR\\qvzcon14.DLL"));
    EXPECT_EQ(sRoot + "/Apps/Brenmoor/New/File.txt",
              winsim::MapPath("c:\\apps\\brenMOOR\\New\\File.txt"));
    EXPECT_EQ(sRoot + "/windows/", winsim::MapPath("C:\\WINDOWS\\"));
    EXPECT_EQ(sRoot + "/windows", winsim::MapPath("C:\\TEMP\\..\\.\\WINDOWS"));
    EXPECT_EQ(sRoot + "/windows", winsim::MapPath("\\WINDOWS"));
    std::string sDriveD = winsim::MapPath("D:\\x");
    EXPECT_EQ("/drive_d/x", sDriveD.substr(sDriveD.size() - 10));

    EXPECT_EQ("/dev/null", winsim::MapPath("nul"));
    EXPECT_EQ("/dev/null", winsim::MapPath("NUL"));
    EXPECT_EQ("/dev/null", winsim::MapPath("C:\\TEMP\\Nul"));
    EXPECT_EQ("/tmp/Some\\Unix/Path", winsim::MapPath("/tmp/Some\\Unix/Path"));
    EXPECT_EQ("relative/part", winsim::MapPath("relative\\part"));
}

TEST_F(KernelTest, FindFirstFileMatchesWildcardsWithoutRegardToCase)
{
    MakeTree();
    EXPECT_EQ((Names{".", "..", "a", "ab.c.d", "Abc.txt", "Empty", "Log00.log", "noext"}),
              Find("C:\\DIR\\*"));
    EXPECT_EQ(Find("C:\\DIR\\*"), Find("C:\\Dir\\*.*"));
    EXPECT_EQ((Names{"Abc.txt"}), Find("C:\\dir\\*.TXT"));
    EXPECT_EQ((Names{"Abc.txt"}), Find("c:\\dir\\abc.txt"));
    EXPECT_EQ((Names{"ab.c.d", "Abc.txt"}), Find("C:\\Dir\\*c*"));
    EXPECT_EQ((Names{".", "a"}), Find("C:\\Dir\\?"));
    EXPECT_EQ((Names{"Log00.log"}), Find("C:\\Dir\\LOG??.LOG"));
    EXPECT_EQ((Names{"noext"}), Find("C:\\Dir\\noext."));
    EXPECT_EQ((Names{"Empty"}), Find("C:\\dir\\EMPTY"));
    // An existing empty folder still holds "." and "..".
    EXPECT_EQ((Names{".", ".."}), Find("C:\\Dir\\Empty\\*"));
    // A drive's root has neither.
    EXPECT_EQ((Names{"Dir", "windows"}), Find("C:\\*"));

    DWORD dwError = 0;
    EXPECT_TRUE(Find("C:\\Dir\\a?", &dwError).empty());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), dwError);
    EXPECT_TRUE(Find("C:\\Dir\\Empty\\", &dwError).empty());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), dwError);
    EXPECT_TRUE(Find("C:\\Dir\\Missing\\*", &dwError).empty());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), dwError);
    EXPECT_TRUE(Find("", &dwError).empty());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), dwError);

    WIN32_FIND_DATAA data;
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(FindNextFileA(reinterpret_cast<HANDLE>(0x1234), &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(KernelTest, FindDataDescribesTheEntry)
{
    std::string sDir = MakeTree();
    WriteFileBytes(sDir + "/Sized.bin", std::string(1234, 'z'));
    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA("C:\\Dir\\sized.bin", &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFind);
    EXPECT_STREQ("Sized.bin", data.cFileName);
    EXPECT_EQ(1234u, data.nFileSizeLow);
    EXPECT_EQ(0u, data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    FindClose(hFind);
    hFind = FindFirstFileA("C:\\Dir\\Empty", &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFind);
    EXPECT_NE(0u, data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    FindClose(hFind);
}

TEST_F(KernelTest, CreateFileProbeAndFileTimesSeeTheLogFiles)
{
    std::string sDir = MakeTree();
    HANDLE hFile =
        CreateFileA("C:\\Dir\\Missing.log", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, hFile);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    hFile = CreateFileA("C:\\NoDir\\x.log", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    hFile = CreateFileA("C:\\Dir\\Empty", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, hFile);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    hFile = CreateFileA("C:\\Dir\\Empty", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, hFile);
    EXPECT_TRUE(CloseHandle(hFile));

    // Known times: access 2001-09-09 01:46:40 UTC, write one second later.
    struct timespec atimes[2] = {{1000000000, 0}, {1000000001, 500}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (sDir + "/Log00.log").c_str(), atimes, 0));
    hFile = CreateFileA("C:\\DIR\\log00.LOG", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    FILETIME ftCreation, ftAccess, ftWrite;
    ASSERT_TRUE(GetFileTime(hFile, &ftCreation, &ftAccess, &ftWrite));
    const unsigned long long ullAccess = (1000000000ULL + 11644473600ULL) * 10000000ULL;
    EXPECT_EQ(static_cast<DWORD>(ullAccess >> 32), ftAccess.dwHighDateTime);
    EXPECT_EQ(static_cast<DWORD>(ullAccess), ftAccess.dwLowDateTime);
    EXPECT_EQ(1, CompareFileTime(&ftWrite, &ftAccess));
    EXPECT_EQ(-1, CompareFileTime(&ftAccess, &ftWrite));
    EXPECT_EQ(0, CompareFileTime(&ftAccess, &ftAccess));
    FILETIME ftLatest = {0xFFFFFFFF, 0x7FFFFFFF};
    FILETIME ftHighBit = {0, 0x80000000};
    EXPECT_EQ(-1, CompareFileTime(&ftLatest, &ftHighBit)) << "file times compare unsigned";
    EXPECT_TRUE(GetFileTime(hFile, nullptr, nullptr, nullptr));

    // Held without sharing, the file cannot be opened again, not even by fopen.
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("C:\\Dir\\Log00.log", GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(nullptr, winsim_fopen("C:\\Dir\\Log00.log", "r"));

    EXPECT_TRUE(CloseHandle(hFile));
    EXPECT_FALSE(CloseHandle(hFile));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(GetFileTime(hFile, &ftCreation, &ftAccess, &ftWrite));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    // A log file that this process writes to is in use for the probe.
    FILE* pLog = winsim_fopen("C:\\Dir\\Log00.log", "a");
    ASSERT_NE(nullptr, pLog);
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("C:\\Dir\\Log00.log", GENERIC_READ, 0, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    fclose(pLog);
    hFile = CreateFileA("C:\\Dir\\Log00.log", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, hFile);
    CloseHandle(hFile);
}

TEST_F(KernelTest, RuntimeFopenWritesTextModeLinesWithCrLf)
{
    std::string sRoot = winsim::DriveRoot('C');
    FILE* pFile = winsim_fopen("C:\\TEXT.LOG", "w");
    ASSERT_NE(nullptr, pFile);
    fprintf(pFile, "first\nsecond\n");
    fclose(pFile);
    EXPECT_EQ("first\r\nsecond\r\n", ReadFileBytes(sRoot + "/TEXT.LOG"));

    pFile = winsim_fopen("c:\\text.log", "a");
    ASSERT_NE(nullptr, pFile) << "the existing file is found under any spelling";
    fputs("third\n", pFile);
    fclose(pFile);
    EXPECT_EQ("first\r\nsecond\r\nthird\r\n", ReadFileBytes(sRoot + "/TEXT.LOG"));

    pFile = winsim_fopen("C:\\Text.log", "r");
    ASSERT_NE(nullptr, pFile);
    char szLine[32];
    ASSERT_NE(nullptr, fgets(szLine, sizeof szLine, pFile));
    EXPECT_STREQ("first\n", szLine);
    fclose(pFile);

    pFile = winsim_fopen("C:\\raw.bin", "wb");
    ASSERT_NE(nullptr, pFile);
    fputs("a\nb", pFile);
    fclose(pFile);
    EXPECT_EQ("a\nb", ReadFileBytes(sRoot + "/raw.bin"));

    // The null device counts what it is given, as the log's measuring needs.
    pFile = winsim_fopen("nul", "w");
    ASSERT_NE(nullptr, pFile);
    EXPECT_EQ(6, fprintf(pFile, "%s\n", "hello"));
    fclose(pFile);

    EXPECT_EQ(nullptr, winsim_fopen("C:\\NoSuchDir\\x.log", "w"));
    EXPECT_EQ(nullptr, winsim_fopen("C:\\", "r")) << "a folder is no file";
}

TEST_F(KernelTest, VersionFollowsTheMachinesWineVersionName)
{
    struct Case
    {
        const char* pszName;
        DWORD dwMajor, dwMinor, dwBuild, dwPlatform;
    };
    const Case aCases[] = {
        {"win95", 4, 0, 0x040003B6, VER_PLATFORM_WIN32_WINDOWS},
        {"win98", 4, 10, 0x040A08AE, VER_PLATFORM_WIN32_WINDOWS},
        {"winme", 4, 90, 0x045A0BB8, VER_PLATFORM_WIN32_WINDOWS},
        {"nt40", 4, 0, 1381, VER_PLATFORM_WIN32_NT},
        {"win2k", 5, 0, 2195, VER_PLATFORM_WIN32_NT},
        {"winxp", 5, 1, 2600, VER_PLATFORM_WIN32_NT},
        {"win2003", 5, 2, 3790, VER_PLATFORM_WIN32_NT},
        {"vista", 6, 0, 6002, VER_PLATFORM_WIN32_NT},
        {"win7", 6, 1, 7601, VER_PLATFORM_WIN32_NT},
        {"win10", 6, 2, 9200, VER_PLATFORM_WIN32_NT},
        {"win31", 3, 10, 0, VER_PLATFORM_WIN32s},
        {"Win98", 5, 1, 2600, VER_PLATFORM_WIN32_NT}, // names compare exactly
        {"bogus", 5, 1, 2600, VER_PLATFORM_WIN32_NT},
    };
    OSVERSIONINFOA info;
    for (const Case& test : aCases)
    {
        SetVersion(test.pszName);
        memset(&info, 0xbd, sizeof info);
        info.dwOSVersionInfoSize = sizeof info;
        ASSERT_TRUE(GetVersionExA(&info)) << test.pszName;
        EXPECT_EQ(test.dwMajor, info.dwMajorVersion) << test.pszName;
        EXPECT_EQ(test.dwMinor, info.dwMinorVersion) << test.pszName;
        EXPECT_EQ(test.dwBuild, info.dwBuildNumber) << test.pszName;
        EXPECT_EQ(test.dwPlatform, info.dwPlatformId) << test.pszName;
    }
    winsim::Reset();
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(5u, info.dwMajorVersion) << "no version set is Windows XP";
    EXPECT_STREQ("Service Pack 3", info.szCSDVersion);

    OSVERSIONINFOEXA infoEx;
    infoEx.dwOSVersionInfoSize = sizeof infoEx;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&infoEx)));
    EXPECT_EQ(3u, infoEx.wServicePackMajor);
    info.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

// The version is kept between calls: every way the program or a test can
// change the value, or the keys above it, must be seen at once.
TEST_F(KernelTest, VersionFollowsEveryChangeOnItsPath)
{
    auto major = []
    {
        OSVERSIONINFOA info;
        info.dwOSVersionInfoSize = sizeof info;
        EXPECT_TRUE(GetVersionExA(&info));
        return info.dwMajorVersion * 100 + info.dwMinorVersion;
    };
    EXPECT_EQ(501u, major());
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
    RegSetValueExA(hKey, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("win98"), 6);
    EXPECT_EQ(410u, major());
    RegSetValueExA(hKey, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("nt40"), 5);
    EXPECT_EQ(400u, major());
    RegCloseKey(hKey);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Wine"));
    EXPECT_EQ(501u, major());
    SetVersion("winme");
    EXPECT_EQ(490u, major());
    Import("REGEDIT4\n[-HKEY_CURRENT_USER\\Software]\n");
    EXPECT_EQ(501u, major());
    SetVersion("win2k");
    winsim::Reset();
    EXPECT_EQ(501u, major());
}

TEST_F(KernelTest, WindowsFoldersReportLengthOrNeededSize)
{
    char szBuffer[MAX_PATH];
    EXPECT_EQ(10u, GetWindowsDirectoryA(szBuffer, sizeof szBuffer));
    EXPECT_STREQ("C:\\WINDOWS", szBuffer);
    EXPECT_EQ(19u, GetSystemDirectoryA(szBuffer, sizeof szBuffer));
    EXPECT_STREQ("C:\\WINDOWS\\SYSTEM32", szBuffer);
    memset(szBuffer, 'x', sizeof szBuffer);
    EXPECT_EQ(20u, GetSystemDirectoryA(szBuffer, 19));
    EXPECT_EQ('x', szBuffer[0]);
    EXPECT_EQ(19u, GetSystemDirectoryA(szBuffer, 20));
    EXPECT_EQ(11u, GetWindowsDirectoryA(nullptr, 0));
}

// The preview's setting for a real machine's own folders: the system folder
// is where the loader looks first; a setting that is no whole drive path is
// not taken.
TEST_F(KernelTest, MachineFoldersFollowTheSetting)
{
    Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Winsim]\n"
           "\"WindowsDirectory\"=\"D:\\\\WINNT\\\\\"\n"
           "\"SystemDirectory\"=\"D:\\\\WINNT\\\\system32\"\n");
    char szBuffer[MAX_PATH];
    EXPECT_EQ(8u, GetWindowsDirectoryA(szBuffer, sizeof szBuffer));
    EXPECT_STREQ("D:\\WINNT", szBuffer);
    EXPECT_EQ(17u, GetSystemDirectoryA(szBuffer, sizeof szBuffer));
    EXPECT_STREQ("D:\\WINNT\\system32", szBuffer);
    std::string sSystem = winsim::DriveRoot('D') + "/WINNT/system32";
    std::filesystem::create_directories(sSystem);
    std::filesystem::copy_file(WINSIM_TEST_MODULE, sSystem + "/testmod.dll");
    HMODULE hModule = LoadLibraryA("testmod");
    EXPECT_NE(nullptr, hModule);
    EXPECT_TRUE(FreeLibrary(hModule));

    Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Winsim]\n"
           "\"WindowsDirectory\"=\"WINNT\"\n\"SystemDirectory\"=dword:00000001\n");
    EXPECT_EQ(10u, GetWindowsDirectoryA(szBuffer, sizeof szBuffer));
    EXPECT_EQ(19u, GetSystemDirectoryA(szBuffer, sizeof szBuffer));
}

TEST_F(KernelTest, CreateDirectoryMakesOneLevel)
{
    std::string sRoot = winsim::DriveRoot('C');
    EXPECT_TRUE(CreateDirectoryA("C:\\TEMP", nullptr));
    EXPECT_TRUE(PathExists(sRoot + "/TEMP"));
    EXPECT_FALSE(CreateDirectoryA("c:\\temp", nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_FALSE(CreateDirectoryA("C:\\No\\Parent", nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_TRUE(CreateDirectoryA("C:\\temp\\Sub\\", nullptr));
    EXPECT_TRUE(PathExists(sRoot + "/TEMP/Sub"));
}

TEST_F(KernelTest, EnvironmentChangesReachGetenv)
{
    EXPECT_TRUE(SetEnvironmentVariableA("WINSIM_TEST_VAR", "C:\\TEMP"));
    ASSERT_NE(nullptr, getenv("WINSIM_TEST_VAR"));
    EXPECT_STREQ("C:\\TEMP", getenv("WINSIM_TEST_VAR"));
    EXPECT_TRUE(SetEnvironmentVariableA("WINSIM_TEST_VAR", nullptr));
    EXPECT_EQ(nullptr, getenv("WINSIM_TEST_VAR"));
    EXPECT_FALSE(SetEnvironmentVariableA("A=B", "x"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(SetEnvironmentVariableA("", "x"));
}

TEST_F(KernelTest, LoaderOpensSharedObjectsAtMappedPaths)
{
    std::string sSystem = winsim::DriveRoot('C') + "/windows/system32";
    std::filesystem::create_directories(sSystem);
    std::filesystem::copy_file(WINSIM_TEST_MODULE, sSystem + "/TestMod.dll");
    WriteFileBytes(sSystem + "/text.dll", "not a module");

    HMODULE hModule = LoadLibraryA("C:\\WINDOWS\\SYSTEM32\\testmod.dll");
    ASSERT_NE(nullptr, hModule);
    typedef int (*ProbeFn)(int);
    // Through void (*)() as program code must, or -Wextra warns of the cast.
    ProbeFn pfnProbe = reinterpret_cast<ProbeFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(hModule, "WinsimProbe")));
    ASSERT_NE(nullptr, pfnProbe);
    EXPECT_EQ(42, pfnProbe(41));
    EXPECT_EQ(nullptr, GetProcAddress(hModule, "NoSuchExport"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    HMODULE hAgain = LoadLibraryA("TESTMOD"); // found in the system folder, ".dll" added
    EXPECT_EQ(hModule, hAgain);
    EXPECT_TRUE(FreeLibrary(hAgain));
    EXPECT_TRUE(FreeLibrary(hModule));
    EXPECT_FALSE(FreeLibrary(hModule));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());

    EXPECT_EQ(nullptr, LoadLibraryA("C:\\WINDOWS\\SYSTEM32\\missing.dll"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, LoadLibraryA("C:\\WINDOWS\\SYSTEM32\\text.dll"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), GetLastError());
    EXPECT_EQ(nullptr, GetProcAddress(reinterpret_cast<HMODULE>(0x1234), "WinsimProbe"));
}

} // namespace
