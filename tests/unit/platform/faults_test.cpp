// Fault injection: failing the n-th call of a named function, hooks before a
// call, counters and the reset, and the one table of names they take.
#include "platform_test_util.h"

#include <io.h>
#include <winspool.h>

#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace
{

using platform_test::PlatformTest;

const DWORD kDllInitFailed = 1114; // ERROR_DLL_INIT_FAILED

class FaultTest : public PlatformTest
{
};

TEST_F(FaultTest, TheNthCallFailsWithTheGivenStatusOnce)
{
    Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Key]\n");
    winsim::FailCall("RegOpenKeyExA", 2, ERROR_ACCESS_DENIED);
    HKEY hKey = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Key", 0, KEY_READ, &hKey));
    RegCloseKey(hKey);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Key", 0, KEY_READ, &hKey));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Key", 0, KEY_READ, &hKey));
    RegCloseKey(hKey);
    EXPECT_EQ(3, winsim::CallCount("RegOpenKeyExA"));
    EXPECT_EQ(0, winsim::OpenKeyCount());

    // A failed write changes nothing.
    winsim::FailCall("RegSetValueExA", 1, ERROR_NOT_ENOUGH_MEMORY);
    const BYTE abData[1] = {1};
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY,
              RegSetValueExA(HKEY_LOCAL_MACHINE, "V", 0, REG_BINARY, abData, 1));
    EXPECT_FALSE(winsim::GetValue("HKLM", "V", nullptr, nullptr));

    // A close that reports a failure has still closed the handle.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Key", 0, KEY_READ, &hKey));
    winsim::FailCall("RegCloseKey", 1, ERROR_BADKEY);
    EXPECT_EQ(ERROR_BADKEY, RegCloseKey(hKey));
    EXPECT_EQ(0, winsim::OpenKeyCount());
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(hKey));
}

TEST_F(FaultTest, OtherCallsReportTheStatusThroughTheLastError)
{
    winsim::FailCall("GetSystemDirectoryA", 1, ERROR_NOT_ENOUGH_MEMORY);
    char szBuffer[MAX_PATH];
    EXPECT_EQ(0u, GetSystemDirectoryA(szBuffer, sizeof szBuffer));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());

    winsim::FailCall("FindFirstFileA", 1, ERROR_ACCESS_DENIED);
    WIN32_FIND_DATAA data;
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA("C:\\*", &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

    winsim::FailCall("LoadLibraryA", 1, kDllInitFailed);
    EXPECT_EQ(nullptr, LoadLibraryA("C:\\WINDOWS\\SYSTEM32\\any.dll"));
    EXPECT_EQ(static_cast<DWORD>(kDllInitFailed), GetLastError());

    winsim::FailCall("EnumPortsA", 1, ERROR_NOT_ENOUGH_MEMORY);
    DWORD cbNeeded = 0xdeadbeef;
    DWORD nReturned = 0;
    EXPECT_FALSE(EnumPortsA(nullptr, 2, nullptr, 0, &cbNeeded, &nReturned));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    EXPECT_EQ(0xdeadbeefu, cbNeeded) << "a failed call writes nothing";

    winsim::FailCall("fopen", 1, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(nullptr, winsim_fopen("nul", "w"));
    FILE* pFile = winsim_fopen("nul", "w");
    EXPECT_NE(nullptr, pFile);
    if (pFile)
        fclose(pFile);
    EXPECT_EQ(2, winsim::CallCount("fopen"));
}

TEST_F(FaultTest, HooksRunJustBeforeTheirCall)
{
    int nRuns = 0;
    winsim::OnCall("RegOpenKeyExA", 2,
                   [&nRuns]
                   {
                       ++nRuns;
                       Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Appears]\n");
                   });
    HKEY hKey = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Appears", 0, KEY_READ, &hKey));
    EXPECT_EQ(0, nRuns);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Appears", 0, KEY_READ, &hKey));
    EXPECT_EQ(1, nRuns);
    RegCloseKey(hKey);

    // A hook may arm a fault for the very call it runs before.
    winsim::OnCall("RegCloseKey", 1, [] { winsim::FailCall("RegCloseKey", 1, ERROR_BADKEY); });
    EXPECT_EQ(ERROR_BADKEY, RegCloseKey(HKEY_LOCAL_MACHINE));
}

TEST_F(FaultTest, ClearAndResetForgetWhatWasArmed)
{
    winsim::FailCall("RegFlushKey", 1, ERROR_BADKEY);
    winsim::ClearFaults();
    EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(HKEY_LOCAL_MACHINE));

    Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Key]\n");
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Key", 0, KEY_READ, &hKey));
    winsim::FailCall("RegFlushKey", 1, ERROR_BADKEY);
    bool fHookRan = false;
    winsim::OnCall("RegFlushKey", 1, [&fHookRan] { fHookRan = true; });
    EXPECT_EQ(1, winsim::OpenKeyCount());

    winsim::Reset();
    EXPECT_EQ(0, winsim::OpenKeyCount());
    EXPECT_EQ(0, winsim::CallCount("RegOpenKeyExA"));
    EXPECT_FALSE(winsim::KeyExists("HKLM\\Key"));
    EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(HKEY_LOCAL_MACHINE));
    EXPECT_FALSE(fHookRan);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(hKey)) << "handles of the old machine are gone";
}

TEST_F(FaultTest, CountsOfCallsAndOfWhatIsOpen)
{
    EXPECT_TRUE(winsim::CallCounts().empty());
    EXPECT_EQ("", winsim::LastCall());
    std::string sSystem = winsim::DriveRoot('C') + "/windows/system32";
    std::filesystem::copy_file(WINSIM_TEST_MODULE, sSystem + "/mod.dll");

    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA("C:\\WINDOWS\\*", &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFind);
    HANDLE hFile = CreateFileA("C:\\WINDOWS\\SYSTEM32\\mod.dll", GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    FILE* pNull = winsim_fopen("nul", "w");
    ASSERT_NE(nullptr, pNull);
    HMODULE hModule = LoadLibraryA("C:\\WINDOWS\\SYSTEM32\\mod.dll");
    ASSERT_NE(nullptr, hModule);
    EXPECT_EQ(3, winsim::OpenFileCount());
    EXPECT_EQ(1, winsim::LoadedLibraryCount());
    EXPECT_EQ("LoadLibraryA", winsim::LastCall());
    EXPECT_EQ((std::map<std::string, int>{
                  {"CreateFileA", 1}, {"FindFirstFileA", 1}, {"LoadLibraryA", 1}, {"fopen", 1}}),
              winsim::CallCounts());

    // A close that reports a failure has still closed what it was given.
    winsim::FailCall("FindClose", 1, ERROR_INVALID_HANDLE);
    winsim::FailCall("CloseHandle", 1, ERROR_INVALID_HANDLE);
    winsim::FailCall("FreeLibrary", 1, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FindClose(hFind));
    EXPECT_FALSE(CloseHandle(hFile));
    EXPECT_FALSE(FreeLibrary(hModule));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    fclose(pNull);
    EXPECT_EQ(0, winsim::OpenFileCount());
    EXPECT_EQ(0, winsim::LoadedLibraryCount());
    EXPECT_FALSE(CloseHandle(hFile));
}

// One row per function the gate knows, in the table's order, each calling it
// once: a name in the table that no call passes under, or a call that passes
// under another name, shows here; a name outside the table is refused.
TEST_F(FaultTest, TheTableNamesExactlyTheCallsThatPassTheGate)
{
    EXPECT_THROW(winsim::FailCall("RegOpenKeyA", 1, ERROR_ACCESS_DENIED), std::invalid_argument);
    EXPECT_THROW(winsim::OnCall("Fopen", 1, [] {}), std::invalid_argument);
    EXPECT_THROW(winsim::CallCount("DeleteFile"), std::invalid_argument);

    HKEY hKey = nullptr;
    char szText[MAX_PATH];
    OSVERSIONINFOA version = {sizeof version, 0, 0, 0, 0, ""};
    WIN32_FIND_DATAA data;
    HANDLE hFind = INVALID_HANDLE_VALUE;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    FILETIME ft = {0, 0};
    DWORD cbNeeded = 0;
    DWORD nReturned = 0;
    FILE* pFile = nullptr;
    int fd = -1;
    const BYTE abData[1] = {0};
    const std::vector<std::pair<std::string, std::function<void()>>> vCalls = {
        {"RegOpenKeyExA", [&] { RegOpenKeyExA(HKEY_CURRENT_USER, "Key", 0, KEY_READ, &hKey); }},
        {"RegCreateKeyExA",
         [&]
         {
             RegCreateKeyExA(HKEY_CURRENT_USER, "Key", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             &hKey, nullptr);
         }},
        {"RegQueryValueExA",
         [&] { RegQueryValueExA(hKey, "V", nullptr, nullptr, nullptr, nullptr); }},
        {"RegSetValueExA", [&] { RegSetValueExA(hKey, "V", 0, REG_BINARY, abData, 1); }},
        {"RegFlushKey", [&] { RegFlushKey(hKey); }},
        {"RegQueryInfoKeyA",
         [&]
         {
             RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr);
         }},
        {"RegEnumKeyA", [&] { RegEnumKeyA(hKey, 0, szText, sizeof szText); }},
        {"RegDeleteKeyA", [&] { RegDeleteKeyA(HKEY_CURRENT_USER, "Key"); }},
        {"RegCloseKey", [&] { RegCloseKey(hKey); }},
        {"GetLastError", [&] { GetLastError(); }},
        {"SetLastError", [&] { SetLastError(0); }},
        {"GetVersionExA", [&] { GetVersionExA(&version); }},
        {"GetSystemDirectoryA", [&] { GetSystemDirectoryA(szText, sizeof szText); }},
        {"GetWindowsDirectoryA", [&] { GetWindowsDirectoryA(szText, sizeof szText); }},
        {"FindFirstFileA", [&] { hFind = FindFirstFileA("C:\\WINDOWS\\*", &data); }},
        {"FindNextFileA", [&] { FindNextFileA(hFind, &data); }},
        {"FindClose", [&] { FindClose(hFind); }},
        {"CreateDirectoryA", [&] { CreateDirectoryA("C:\\Folder", nullptr); }},
        {"SetEnvironmentVariableA", [&] { SetEnvironmentVariableA("WINSIM_GATE_TEST", nullptr); }},
        {"CreateFileA",
         [&] {
             hFile = CreateFileA("C:\\File", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
         }},
        {"GetFileTime", [&] { GetFileTime(hFile, nullptr, nullptr, &ft); }},
        {"CompareFileTime", [&] { CompareFileTime(&ft, &ft); }},
        {"CloseHandle", [&] { CloseHandle(hFile); }},
        {"DeleteFileA", [&] { DeleteFileA("C:\\File"); }},
        {"LoadLibraryA", [&] { LoadLibraryA("C:\\none.dll"); }},
        {"GetProcAddress", [&] { GetProcAddress(nullptr, "None"); }},
        {"FreeLibrary", [&] { FreeLibrary(nullptr); }},
        {"EnumPrintersA",
         [&] { EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &cbNeeded, &nReturned); }},
        {"EnumPortsA", [&] { EnumPortsA(nullptr, 2, nullptr, 0, &cbNeeded, &nReturned); }},
        {"fopen", [&] { pFile = winsim_fopen("nul", "w"); }},
        {"_open", [&] { fd = winsim_open("C:\\Other", _O_WRONLY | _O_CREAT); }},
        {"_fdopen",
         [&]
         {
             if (FILE* pStream = winsim_fdopen(fd, "w"))
                 fclose(pStream);
         }},
    };
    std::vector<std::string> vsNames;
    for (const auto& call : vCalls)
    {
        vsNames.push_back(call.first);
        int nBefore = winsim::CallCount(call.first);
        call.second();
        EXPECT_EQ(nBefore + 1, winsim::CallCount(call.first)) << call.first;
    }
    EXPECT_EQ(winsim::FailableCalls(), vsNames);
    if (pFile)
        fclose(pFile);
    EXPECT_EQ(0, winsim::OpenFileCount());
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

} // namespace
