// The fault sweep: four whole runs, each on a machine of its own with the
// recording test component. A fault-free run first counts every platform call
// and every nothrow allocation; then each of them is failed once, alone, and
// the run must end as its rules say it ends when that one thing fails.
//
// This binary replaces the nothrow array new of the whole process.
#include <windows.h>
#include <winsim.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "morix_test_util.h"
#include "qvzvesk/qvzvesk_log.h"

namespace
{

bool g_fCountAllocations = false;
int g_nAllocations = 0;
int g_iFailingAllocation = 0; // 1-based; 0 fails none
// The platform call made just before each allocation: the log's expansion
// buffer is the one allocated right after the null device was opened.
std::vector<std::string> g_vsCallBeforeAllocation;

} // namespace

void* operator new[](std::size_t cbSize, const std::nothrow_t&) noexcept
{
    if (g_fCountAllocations)
    {
        ++g_nAllocations;
        g_vsCallBeforeAllocation.push_back(winsim::LastCall());
        if (g_nAllocations == g_iFailingAllocation)
            return nullptr;
    }
    // The program frees with delete[], so the block comes from the array form.
    try
    {
        return ::operator new[](cbSize);
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
}

namespace
{

namespace fs = std::filesystem;
using morix_test::Lines;

const char kAllocation[] = "operator new[]";
const char kProgramPath[] = "C:\\WINDOWS\\SYSTEM\\qvzmrx14.exe";
const DWORD kSpoolerUnavailable = 1722; // RPC_S_SERVER_UNAVAILABLE
// The two Vesk marks come before the flags, and their results are not looked at.
const int kMarkWrites = 2;

// What Windows answers when each call fails for a reason of its own.
const std::map<std::string, std::vector<DWORD>> kStatuses = {
    {"RegOpenKeyExA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {"RegCreateKeyExA", {ERROR_ACCESS_DENIED}},
    {"RegQueryValueExA", {ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA}},
    {"RegSetValueExA", {ERROR_ACCESS_DENIED}},
    {"RegFlushKey", {ERROR_ACCESS_DENIED}},
    {"RegQueryInfoKeyA", {ERROR_ACCESS_DENIED}},
    {"RegEnumKeyA", {ERROR_NO_MORE_ITEMS, ERROR_ACCESS_DENIED}},
    {"RegDeleteKeyA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
    {"RegCloseKey", {ERROR_INVALID_HANDLE}},
    {"EnumPrintersA", {kSpoolerUnavailable}},
    {"EnumPortsA", {kSpoolerUnavailable}},
    {"GetVersionExA", {ERROR_INVALID_PARAMETER}},
    {"GetSystemDirectoryA", {ERROR_NOT_ENOUGH_MEMORY}},
    {"GetWindowsDirectoryA", {ERROR_NOT_ENOUGH_MEMORY}},
    {"FindFirstFileA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {"FindClose", {ERROR_INVALID_HANDLE}},
    {"CreateDirectoryA", {ERROR_ACCESS_DENIED}},
    {"SetEnvironmentVariableA", {ERROR_NOT_ENOUGH_MEMORY}},
    {"CreateFileA", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}},
    {"GetFileTime", {ERROR_ACCESS_DENIED}},
    {"CompareFileTime", {ERROR_INVALID_PARAMETER}},
    {"CloseHandle", {ERROR_INVALID_HANDLE}},
    {"LoadLibraryA", {ERROR_MOD_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY}},
    {"GetProcAddress", {ERROR_PROC_NOT_FOUND}},
    {"FreeLibrary", {ERROR_INVALID_HANDLE}},
    {"DeleteFileA", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}},
    {"fopen", {ERROR_ACCESS_DENIED}},
    {"_open", {ERROR_ACCESS_DENIED}},
    {"_fdopen", {ERROR_NOT_ENOUGH_MEMORY}},
};

// ---- The machines ----------------------------------------------------------

const std::string kHklm = "HKEY_LOCAL_MACHINE\\";
const std::string kVesk = kHklm + "SOFTWARE\\Brenmoor\\QVZ\\Vesk";
const std::string kConfig = kHklm + "SOFTWARE\\Brenmoor\\QVKR Printing System Config";

std::string Key(const std::string& sPath)
{
    return "[" + sPath + "]\n";
}

std::string Printer(const std::string& sName, const std::string& sDriver)
{
    return Key(kHklm + "System\\CurrentControlSet\\Control\\Print\\Printers\\" + sName) +
           "\"Name\"=\"" + sName + "\"\n\"Printer Driver\"=\"" + sDriver +
           "\"\n\"Port\"=\"LPT1:\"\n";
}

// Printers and the Vesk keys of two drivers: every machine has them.
std::string CommonKeys()
{
    return Printer("Hall", "model 12") + Printer("Lab", "Other Model") +
           Printer("Office", "Model 12") + Key(kVesk + "\\Model 12") + "\"Product\"=\"X\"\n" +
           Key(kVesk + "\\Other Model") + "\"Product\"=\"Y\"\n\"NetworkInstall\"=\"true\"\n" +
           Key(kConfig + "\\Other Model") + "\"QVKRPPUITabs\"=dword:00000003\n";
}

// Device, class and factory keys of both drivers, the way the 9x family keeps them.
std::string DeviceKeys()
{
    const std::string sClass = kHklm + "System\\CurrentControlSet\\Services\\Class\\";
    const std::string sUsb = kHklm + "ENUM\\USBPRINT\\";
    return Key(kVesk + "\\Factory\\Model 12") +
           "\"DeviceID\"=\"QVM12\"\n\"KormantID\"=\"QVK12\"\n" +
           Key(kVesk + "\\Factory\\Other Model") + "\"DeviceID\"=\"QVO77\"\n" +
           Key(kVesk + "\\1284PnP\\QVM12") + Key(kHklm + "ENUM\\PARENUM\\QVM12\\0000") +
           Key(kHklm + "ENUM\\LPTENUM\\QVM12") + Key(kHklm + "ENUM\\LPTENUM\\QVK12") +
           Key(kHklm + "ENUM\\PARENUM\\QVO77") + Key(sUsb + "QVM12\\0001") +
           "\"HardwareID\"=\"USBPRINT\\\\QVM12_A1B2\"\n\"Driver\"=\"PRINTER\\\\0001\"\n"
           "\"ClassGuid\"=\"{4D36E979-E325-11CE-BFC1-08002BE10318}\"\n" +
           Key(sUsb + "QVM12\\0002") +
           "\"HardwareID\"=\"USBPRINT\\\\QVM12_C3D4\"\n\"Driver\"=\"IMAGE\\\\0000\"\n"
           "\"ClassGuid\"=\"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\"\n" +
           Key(sUsb + "QVO77\\0001") +
           "\"HardwareID\"=\"USBPRINT\\\\QVO77_0000\"\n\"Driver\"=\"PRINTER\\\\0003\"\n" +
           Key(sClass + "PRINTER\\0001") + Key(sClass + "PRINTER\\0003") +
           Key(sClass + "IMAGE\\0000") + Key(sClass + "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}");
}

// What the install left: the flags under both roots, the Legacy and C32 keys.
std::string InstalledKeys()
{
    return Key(kVesk + "\\Legacy\\Model 12") + Key(kHklm + "SOFTWARE\\Brenmoor\\qvf\\C32\\Data") +
           Key(kConfig) + "\"QVKREnableTaskbarUtility\"=dword:00000000\n" +
           Key(kConfig + "\\Model 12") + "\"QVKRPPUITabs\"=dword:00000003\n" +
           Key("HKEY_CURRENT_USER\\SOFTWARE\\Brenmoor\\QVKR Printing System Config\\Model 12") +
           "\"QVKRPPUITabs\"=dword:00000003\n";
}

// A rule that lets a fault change the outcome beyond leaving things undone:
// the run then ends as the fault-free run on the machine after sEdit.
struct Exception
{
    const char* pszReason;
    std::string sEdit;
};

struct SweptRun
{
    const char* pszName;
    const char* pszVersion;
    const char* pszCmdLine;
    bool fInstall;
    std::string sMachine;
    std::vector<int> vnOldLogs;
    std::vector<Exception> vExceptions;
};

std::vector<SweptRun> SweptRuns()
{
    const std::string sVeskDriver = Key(kVesk + "\\Model 12");
    return {
        {"install on Windows 98",
         "win98",
         "-printerdriver=Model 12 -product=X -port=LPT1:",
         true,
         CommonKeys() + DeviceKeys() + Key(kConfig) + "\"QVKRLocalization\"=\"true\"\n",
         {},
         {{"an unreadable QVKRLocalization counts as false",
           Key(kConfig) + "\"QVKRLocalization\"=-\n"}}},
        {"install on Windows XP",
         "winxp",
         "-printerdriver=Model 12 -product=X -port=LPT1:",
         true,
         CommonKeys() + sVeskDriver +
             "\"NetworkInstall\"=\"TRUE\"\n\"CIOSupport\"=\"true\"\n\"BrimzelSupport\"=\"true\"\n" +
             Key(kConfig + "\\Model 12") + "\"QVKREnableCIO\"=dword:00000000\n",
         {},
         {{"an unreadable CIOSupport counts as false", sVeskDriver + "\"CIOSupport\"=-\n"},
          {"an unreadable BrimzelSupport counts as false",
           sVeskDriver + "\"BrimzelSupport\"=-\n"}}},
        {"uninstall on Windows 98",
         "win98",
         "-uninstall=Model 12",
         false,
         CommonKeys() + DeviceKeys() + InstalledKeys(),
         {0, 1},
         {{"an unreadable DeviceID falls back to KormantID",
           Key(kVesk + "\\Factory\\Model 12") + "\"DeviceID\"=-\n"}}},
        {"uninstall on Windows XP",
         "winxp",
         "-uninstall=Model 12",
         false,
         CommonKeys() + DeviceKeys() + InstalledKeys(),
         {},
         {}},
    };
}

// ---- One run ---------------------------------------------------------------

struct Fault
{
    std::string sFunction; // empty: no fault; kAllocation: the n-th nothrow allocation
    int nNth = 0;
    DWORD dwStatus = 0;
};

std::string Describe(const Fault& fault)
{
    return fault.sFunction + " #" + std::to_string(fault.nNth) +
           (fault.sFunction == kAllocation ? "" : " status " + std::to_string(fault.dwStatus));
}

// The registry as a set of items: each key, and each value line under its key.
using Snapshot = std::set<std::string>;

Snapshot TakeSnapshot()
{
    Snapshot items;
    std::istringstream text(winsim::ExportReg());
    std::string sLine;
    std::string sKey;
    std::string sValue;
    while (std::getline(text, sLine))
    {
        if (sLine.empty() || sLine == "REGEDIT4")
            continue;
        if (sValue.empty() && sLine[0] == '[')
        {
            sKey = sLine;
            items.insert(sKey);
            continue;
        }
        sValue += sLine;
        if (sLine.back() == '\\') // hex data goes on
            continue;
        items.insert(sKey + " " + sValue);
        sValue.clear();
    }
    return items;
}

// Items the run changed that the reference run left as they were before.
std::vector<std::string> StrayItems(const Snapshot& before, const Snapshot& reference,
                                    const Snapshot& after)
{
    std::set<std::string> all(before);
    all.insert(after.begin(), after.end());
    std::vector<std::string> vsStray;
    for (const std::string& sItem : all)
    {
        bool fAfter = after.count(sItem) != 0;
        if (fAfter != (before.count(sItem) != 0) && fAfter != (reference.count(sItem) != 0))
            vsStray.push_back((fAfter ? "+ " : "- ") + sItem);
    }
    return vsStray;
}

std::string OldLogText(int nNumber)
{
    return "old log " + std::to_string(nNumber) + "\r\n";
}

std::string CallsPath()
{
    return winsim::DriveRoot() + "/calls.txt";
}

void PrepareMachine(const SweptRun& run, const std::string& sEdit)
{
    winsim::Reset();
    setenv("TEMP", "C:\\TEMP", 1);
    unsetenv("TMP");
    std::string sError;
    ASSERT_TRUE(winsim::ImportReg(std::string("REGEDIT4\n\n") +
                                      Key("HKEY_CURRENT_USER\\Software\\Wine") + "\"Version\"=\"" +
                                      run.pszVersion + "\"\n" + run.sMachine + sEdit,
                                  &sError))
        << sError;
    fs::create_directories(winsim::MapPath("C:\\TEMP"));
    for (int nNumber : run.vnOldLogs)
        std::ofstream(morix_test::LogHostPath(nNumber), std::ios::binary) << OldLogText(nNumber);
    fs::create_symlink(QVZCON_RECORDING,
                       winsim::MapPath("C:\\WINDOWS\\SYSTEM32") + "/qvzcon14.dll");
    setenv("QVZCON_CALLS", CallsPath().c_str(), 1);
}

struct Outcome
{
    int nResult = -1;
    std::map<std::string, int> mapCalls;
    int nAllocations = 0;
    std::vector<std::string> vsCallBeforeAllocation;
    int nOpenKeys = 0;
    int nOpenFiles = 0;
    int nLibraries = 0;
    std::vector<int> vnWrittenLogs; // numbered logs created or changed
    std::vector<int> vnChangedOldLogs;
    bool fHaveLog = false; // exactly one log written, header first
    Lines vsLog;           // its lines after the header
    Snapshot registry;
    std::string sCalls;
};

Outcome RunOnce(const SweptRun& run, const std::string& sEdit, const Fault& fault)
{
    Outcome outcome;
    PrepareMachine(run, sEdit);
    EXPECT_TRUE(winsim::CallCounts().empty());
    if (fault.sFunction == kAllocation)
        g_iFailingAllocation = fault.nNth;
    else if (!fault.sFunction.empty())
        winsim::FailCall(fault.sFunction, fault.nNth, fault.dwStatus);
    std::string sCmdLine = run.pszCmdLine;
    std::vector<char> vchCmdLine(sCmdLine.begin(), sCmdLine.end());
    vchCmdLine.push_back('\0');

    g_nAllocations = 0;
    g_vsCallBeforeAllocation.clear();
    g_fCountAllocations = true;
    outcome.nResult = WinMain(nullptr, nullptr, vchCmdLine.data(), 1);
    g_fCountAllocations = false;
    g_iFailingAllocation = 0;
    outcome.mapCalls = winsim::CallCounts();
    outcome.nAllocations = g_nAllocations;
    outcome.vsCallBeforeAllocation.swap(g_vsCallBeforeAllocation);
    winsim::ClearFaults();

    // The process exit closes the log; nothing else may still be open then.
    g_LogFile.Close();
    outcome.nOpenKeys = winsim::OpenKeyCount();
    outcome.nOpenFiles = winsim::OpenFileCount();
    outcome.nLibraries = winsim::LoadedLibraryCount();

    std::string sLogText;
    for (int nNumber = 0; nNumber < 100; ++nNumber)
    {
        std::string sPath = morix_test::LogHostPath(nNumber);
        if (!morix_test::HostPathExists(sPath))
            continue;
        std::string sText = morix_test::ReadHostFile(sPath);
        bool fOld = false;
        for (int nOld : run.vnOldLogs)
            fOld = fOld || nOld == nNumber;
        if (fOld && sText == OldLogText(nNumber))
            continue;
        if (fOld)
            outcome.vnChangedOldLogs.push_back(nNumber);
        outcome.vnWrittenLogs.push_back(nNumber);
        sLogText = sText;
    }
    if (outcome.vnWrittenLogs.size() == 1)
    {
        Lines vsLines = morix_test::SplitLogLines(sLogText);
        outcome.fHaveLog = vsLines.size() >= 3 && vsLines[0].empty() &&
                           vsLines[1].find(" - Logging Enabled ****") != std::string::npos &&
                           vsLines[2].empty();
        if (outcome.fHaveLog)
            outcome.vsLog.assign(vsLines.begin() + 3, vsLines.end());
    }
    outcome.registry = TakeSnapshot();
    if (morix_test::HostPathExists(CallsPath()))
        outcome.sCalls = morix_test::ReadHostFile(CallsPath());
    return outcome;
}

// What the log's Open calls on this machine before the first line is out:
// every failure there is a failure of the log itself.
std::map<std::string, int> HeaderCalls(const SweptRun& run)
{
    PrepareMachine(run, "");
    g_LogFile.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED);
    std::map<std::string, int> mapCalls = winsim::CallCounts();
    g_LogFile.Close();
    return mapCalls;
}

bool Contains(const Lines& vsLines, const std::string& sLine)
{
    for (const std::string& s : vsLines)
        if (s == sLine)
            return true;
    return false;
}

// ---- The sweep -------------------------------------------------------------

struct Sweep
{
    const SweptRun& run;
    Outcome faultFree;
    Snapshot before;
    std::vector<Snapshot> vReferences; // the fault-free run, then one per exception
    std::map<std::string, int> mapHeaderCalls;
    std::vector<int> vnExceptionUses;
    std::vector<std::string> vsProblems;

    explicit Sweep(const SweptRun& runToSweep) : run(runToSweep) {}

    void Problem(const Fault& fault, const std::string& sWhat)
    {
        vsProblems.push_back(std::string(run.pszName) + ", " + Describe(fault) + ": " + sWhat);
    }

    bool HitsTheLog(const Fault& fault) const
    {
        if (fault.sFunction == kAllocation)
            return faultFree.vsCallBeforeAllocation[fault.nNth - 1] == "fopen";
        auto it = mapHeaderCalls.find(fault.sFunction);
        return fault.sFunction == "fopen" ||
               (it != mapHeaderCalls.end() && fault.nNth <= it->second);
    }

    void Check(const Fault& fault, const Outcome& outcome)
    {
        const std::string& sFunction = fault.sFunction;
        const bool fLog = HitsTheLog(fault);
        if (outcome.nResult != 0)
            Problem(fault, "WinMain returned " + std::to_string(outcome.nResult));
        if (outcome.nOpenKeys != 0 || outcome.nOpenFiles != 0 || outcome.nLibraries != 0)
            Problem(fault, "left open: " + std::to_string(outcome.nOpenKeys) + " keys, " +
                               std::to_string(outcome.nOpenFiles) + " files, " +
                               std::to_string(outcome.nLibraries) + " libraries");

        // The verdicts the rules give for this one failure.
        bool fRunSucceeds = true;
        bool fComponentSucceeds = true;
        bool fCleanupSucceeds = true;
        if (run.fInstall)
            fRunSucceeds = !(sFunction == "GetVersionExA" ||
                             ((sFunction == "RegCreateKeyExA" || sFunction == "RegSetValueExA") &&
                              fault.nNth > kMarkWrites));
        else
        {
            fComponentSucceeds =
                !(sFunction == "GetSystemDirectoryA" || sFunction == "EnumPrintersA" ||
                  (sFunction == kAllocation &&
                   faultFree.vsCallBeforeAllocation[fault.nNth - 1] == "EnumPrintersA"));
            fCleanupSucceeds = !(sFunction == "GetVersionExA" || sFunction == "RegCreateKeyExA" ||
                                 sFunction == "RegSetValueExA");
        }
        const std::string sVerdict = fRunSucceeds ? "The Morix Succeeded" : "The Morix Failed";
        const Lines vsClosing = {std::string("Morix Pathname = ") + kProgramPath,
                                 std::string("Command Line = ") + run.pszCmdLine,
                                 "Driver Name = Model 12", sVerdict};
        const Lines& vsLog = outcome.vsLog;
        if (!fLog)
        {
            if (!outcome.fHaveLog || vsLog.size() < 4 ||
                Lines(vsLog.end() - 4, vsLog.end()) != vsClosing)
                Problem(fault, "the log does not end with the closing lines, verdict " + sVerdict);
            if (!run.fInstall &&
                (!Contains(vsLog, std::string("ComponentUninstall (Model 12) ") +
                                      (fComponentSucceeds ? "Succeeded" : "Failed")) ||
                 !Contains(vsLog, std::string("CleanupRegistry (Model 12) ") +
                                      (fCleanupSucceeds ? "Successful" : "Failed"))))
                Problem(fault, "a step's closing line is not the expected one");
        }
        else if (outcome.fHaveLog && !vsLog.empty() &&
                 vsLog.back().compare(0, 10, "The Morix ") == 0 && vsLog.back() != sVerdict)
            Problem(fault, "the verdict is " + vsLog.back());

        // A probe of an existing log that fails takes that number, as one in use would.
        std::vector<int> vnMayChange;
        if (fLog && sFunction == "CreateFileA")
            vnMayChange.push_back(fault.nNth - 1);
        if (outcome.vnChangedOldLogs != vnMayChange && !outcome.vnChangedOldLogs.empty())
            Problem(fault, "an older log was overwritten");
        if (outcome.vnWrittenLogs.size() > 1)
            Problem(fault, "more than one log written");

        if (outcome.sCalls != faultFree.sCalls && !outcome.sCalls.empty())
            Problem(fault, "VendorUninstall calls: " + outcome.sCalls);

        for (size_t iReference = 0; iReference < vReferences.size(); ++iReference)
        {
            if (StrayItems(before, vReferences[iReference], outcome.registry).empty())
            {
                if (iReference > 0)
                    ++vnExceptionUses[iReference - 1];
                return;
            }
        }
        std::string sStray;
        for (const std::string& sItem : StrayItems(before, vReferences[0], outcome.registry))
            sStray += "\n    " + sItem;
        Problem(fault, "registry changes beyond the fault-free run's:" + sStray);
    }

    // Returns the number of fault points.
    int Go()
    {
        faultFree = RunOnce(run, "", Fault());
        const bool fInstall = run.fInstall;
        EXPECT_EQ(0, faultFree.nResult);
        EXPECT_TRUE(faultFree.fHaveLog);
        EXPECT_FALSE(faultFree.vsLog.empty());
        if (!faultFree.vsLog.empty())
        {
            EXPECT_EQ("The Morix Succeeded", faultFree.vsLog.back());
        }
        EXPECT_EQ(fInstall ? "" : "Hall\nOffice\n", faultFree.sCalls);
        PrepareMachine(run, "");
        before = TakeSnapshot();
        vReferences.push_back(faultFree.registry);
        for (const Exception& exception : run.vExceptions)
        {
            Outcome reference = RunOnce(run, exception.sEdit, Fault());
            EXPECT_NE(faultFree.registry, reference.registry) << exception.pszReason;
            vReferences.push_back(reference.registry);
        }
        vnExceptionUses.assign(run.vExceptions.size(), 0);
        mapHeaderCalls = HeaderCalls(run);

        std::vector<Fault> vFaults;
        for (const auto& entry : faultFree.mapCalls)
        {
            auto itStatuses = kStatuses.find(entry.first);
            if (itStatuses == kStatuses.end())
            {
                ADD_FAILURE() << run.pszName << ": no failure status known for " << entry.first;
                continue;
            }
            for (int nNth = 1; nNth <= entry.second; ++nNth)
                for (DWORD dwStatus : itStatuses->second)
                    vFaults.push_back(Fault{entry.first, nNth, dwStatus});
        }
        for (int nNth = 1; nNth <= faultFree.nAllocations; ++nNth)
            vFaults.push_back(Fault{kAllocation, nNth, 0});

        for (const Fault& fault : vFaults)
            Check(fault, RunOnce(run, "", fault));

        for (size_t i = 0; i < run.vExceptions.size(); ++i)
        {
            EXPECT_GT(vnExceptionUses[i], 0)
                << run.pszName << ": no fault needed \"" << run.vExceptions[i].pszReason << "\"";
        }
        return static_cast<int>(vFaults.size());
    }
};

TEST(FaultSweep, EveryCallAndAllocationOfFourRunsFailedOnce)
{
    static char szProgram[sizeof kProgramPath];
    memcpy(szProgram, kProgramPath, sizeof kProgramPath);
    static char* apszArgv[] = {szProgram, nullptr};
    __argc = 1;
    __argv = apszArgv;

    int nTotal = 0;
    for (const SweptRun& run : SweptRuns())
    {
        auto tStart = std::chrono::steady_clock::now();
        Sweep sweep(run);
        int nPoints = sweep.Go();
        nTotal += nPoints;
        double dSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
        std::string sUses;
        for (size_t i = 0; i < run.vExceptions.size(); ++i)
            sUses += std::string(i ? "; " : ", exceptions: ") + run.vExceptions[i].pszReason +
                     " (" + std::to_string(sweep.vnExceptionUses[i]) + " faults)";
        int nCalls = 0;
        for (const auto& entry : sweep.faultFree.mapCalls)
            nCalls += entry.second;
        printf("[ sweep    ] %s: %d fault points (%d calls, %d allocations) in %.1f s%s\n",
               run.pszName, nPoints, nCalls, sweep.faultFree.nAllocations, dSeconds, sUses.c_str());
        const size_t kShown = 20;
        for (size_t i = 0; i < sweep.vsProblems.size() && i < kShown; ++i)
            ADD_FAILURE() << sweep.vsProblems[i];
        EXPECT_EQ(0u, sweep.vsProblems.size())
            << run.pszName << ": problems (first " << kShown << " shown above)";
    }
    printf("[ sweep    ] %d fault points in all\n", nTotal);
    __argc = 0;
    __argv = nullptr;
    winsim::Reset();
}

} // namespace
