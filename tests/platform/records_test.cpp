// Persisting changes as records appended to registry.reg: a run that dies at
// any point, even halfway through writing a record, leaves exactly the state
// after its last completed change for the next load.
#include "platform_test_util.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <vector>

namespace
{

using platform_test::PlatformTest;
using platform_test::TempFolder;

const char kBase[] = "REGEDIT4\n"
                     "\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\Old\\Deep]\n"
                     "\"Keep\"=\"1\"\n"
                     "\n"
                     "[HKEY_CURRENT_USER\\Software\\Wine]\n"
                     "\"Version\"=\"win98\"\n";

HKEY Create(const char* pszPath)
{
    HKEY hKey = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, pszPath, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
    return hKey;
}

void SetText(const char* pszPath, const char* pszName, const std::string& sText)
{
    HKEY hKey = Create(pszPath);
    RegSetValueExA(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(sText.c_str()),
                   static_cast<DWORD>(sText.size() + 1));
    RegCloseKey(hKey);
}

// The changes of a run, one registry change (and so one record) each.
std::vector<std::function<void()>> Changes()
{
    std::string sLong(300, 'x'); // a record that is written over several lines
    return {
        [] { RegCloseKey(Create("SOFTWARE\\Brenmoor\\New")); },
        [] { SetText("SOFTWARE\\Brenmoor\\New", "A", "first"); },
        [=]
        {
            HKEY hKey = Create("SOFTWARE\\Brenmoor\\New");
            RegSetValueExA(hKey, "Blob", 0, REG_BINARY, reinterpret_cast<const BYTE*>(sLong.data()),
                           static_cast<DWORD>(sLong.size()));
            RegCloseKey(hKey);
        },
        [] { SetText("SOFTWARE\\Brenmoor\\New", "A", "second \"quoted\""); },
        []
        { EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brenmoor\\Old")); },
        [] { RegCloseKey(Create("SOFTWARE\\Brenmoor\\Old")); },
        [] { SetText("SOFTWARE\\Brenmoor\\Old", "Back", "again"); },
        [] { SetText("SOFTWARE\\Brenmoor", "", "default"); },
    };
}

// The registry after the first nDone changes, made on an in-memory machine.
std::string Expected(size_t nDone)
{
    winsim::Reset();
    std::string sError;
    EXPECT_TRUE(winsim::ImportReg(kBase, &sError)) << sError;
    std::vector<std::function<void()>> vChanges = Changes();
    for (size_t i = 0; i < nDone; ++i)
        vChanges[i]();
    std::string sExport = winsim::ExportReg();
    winsim::Reset();
    return sExport;
}

std::string Loaded(const std::string& sFolder)
{
    winsim::Reset();
    std::string sError;
    EXPECT_TRUE(winsim::LoadMachine(sFolder, &sError)) << sError;
    std::string sExport = winsim::ExportReg();
    winsim::Reset();
    return sExport;
}

// A child process makes the first nDone changes on the machine folder and is
// killed right after the last (nothing after it runs, not even the exit).
void RunAndKill(const std::string& sFolder, size_t nDone)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        std::string sError;
        if (!winsim::LoadMachine(sFolder, &sError))
            _exit(3);
        std::vector<std::function<void()>> vChanges = Changes();
        for (size_t i = 0; i < nDone; ++i)
            vChanges[i]();
        raise(SIGKILL);
        _exit(4);
    }
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    ASSERT_TRUE(WIFSIGNALED(nStatus)) << "status " << nStatus;
}

class RecordsTest : public PlatformTest
{
};

TEST_F(RecordsTest, ARunKilledAfterAnyChangeLeavesExactlyTheChangesItCompleted)
{
    size_t nChanges = Changes().size();
    for (size_t nDone = 0; nDone <= nChanges; ++nDone)
    {
        TempFolder folder;
        platform_test::WriteFileBytes(folder / "registry.reg", kBase);
        RunAndKill(folder.Path(), nDone);
        std::string sFile = platform_test::ReadFileBytes(folder / "registry.reg");
        EXPECT_EQ(0u, sFile.find(kBase)) << "the records come after the text, which stays";
        EXPECT_EQ(Expected(nDone), Loaded(folder.Path())) << "killed after change " << nDone;
    }
}

TEST_F(RecordsTest, ATornLastRecordIsDroppedAndCutOffAtEveryByte)
{
    TempFolder full;
    platform_test::WriteFileBytes(full / "registry.reg", kBase);
    size_t nChanges = Changes().size();
    RunAndKill(full.Path(), nChanges);
    const std::string sFile = platform_test::ReadFileBytes(full / "registry.reg");
    std::vector<std::string> vsExpected;
    for (size_t n = 0; n <= nChanges; ++n)
        vsExpected.push_back(Expected(n));

    const std::string sEnd = "\n;winsim:end\n";
    for (size_t cb = sizeof kBase - 1; cb <= sFile.size(); ++cb)
    {
        std::string sTorn = sFile.substr(0, cb);
        size_t nComplete = 0;
        for (size_t i = sTorn.find(sEnd); i != std::string::npos; i = sTorn.find(sEnd, i + 1))
            ++nComplete;
        TempFolder folder;
        platform_test::WriteFileBytes(folder / "registry.reg", sTorn);
        ASSERT_EQ(vsExpected[nComplete], Loaded(folder.Path())) << "file cut at byte " << cb;

        // The load cut the torn record off, so what is appended next reads back.
        winsim::Reset();
        std::string sError;
        ASSERT_TRUE(winsim::LoadMachine(folder.Path(), &sError)) << sError;
        SetText("SOFTWARE\\After", "V", "1");
        winsim::ClearFaults();
        std::string sAfter = platform_test::ReadFileBytes(folder / "registry.reg");
        winsim::Reset(); // folds the records into a fresh registry.reg
        ASSERT_TRUE(winsim::LoadMachine(folder.Path(), &sError)) << sError << "\n" << sAfter;
        EXPECT_TRUE(winsim::GetValue("HKLM\\SOFTWARE\\After", "V", nullptr, nullptr)) << cb;
        winsim::Reset();
    }
}

TEST_F(RecordsTest, ARunThatEndsFoldsItsRecordsIntoTheFile)
{
    TempFolder folder;
    platform_test::WriteFileBytes(folder / "registry.reg", kBase);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        std::string sError;
        if (!winsim::LoadMachine(folder.Path(), &sError))
            _exit(3);
        for (auto& fnChange : Changes())
            fnChange();
        exit(0);
    }
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    std::string sFile = platform_test::ReadFileBytes(folder / "registry.reg");
    EXPECT_EQ(std::string::npos, sFile.find(";winsim:")) << sFile;
    EXPECT_EQ(Expected(Changes().size()), sFile);
}

// Loading and saving registry.reg are the stand-in's own work: a fault armed
// for the program's fopen must not hit them, nor may they count as its calls.
TEST_F(RecordsTest, TheMachineFilesAreNotTheProgramsFopen)
{
    TempFolder folder;
    platform_test::WriteFileBytes(folder / "registry.reg", kBase);
    winsim::FailCall("fopen", 1, ERROR_ACCESS_DENIED);
    std::string sError;
    ASSERT_TRUE(winsim::LoadMachine(folder.Path(), &sError)) << sError;
    SetText("SOFTWARE\\Brenmoor", "V", "1");
    Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\Bulk]\n");
    EXPECT_EQ(0, winsim::CallCount("fopen"));
    winsim::ClearFaults();
    EXPECT_NE(std::string::npos, platform_test::ReadFileBytes(folder / "registry.reg")
                                     .find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\Bulk]"));
    EXPECT_NE(std::string::npos, Loaded(folder.Path()).find("\"V\"=\"1\""));
}

} // namespace
