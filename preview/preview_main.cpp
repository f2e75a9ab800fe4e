// morix_preview: what the Morix would do to a real machine, from exports of
// its registry, without touching them (usage: kUsage below).
//
// The inputs and the output paths are read and checked first; nothing runs
// when one is bad. The program then runs once on a temporary machine folder
// made from them, with the machine's own folders, and the preview prints the
// answer first (verdict, operation, printers told, counts, warnings), then
// what it read and assumed, the log, the registry changes as REGEDIT4 and the
// VendorUninstall calls; or all of it as one JSON document (--json).
#include "preview.h"
#include "preview_result.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef MORIX_PROGRAM
#error "MORIX_PROGRAM names the host build of qvzmrx14"
#endif

namespace
{

const char kUsage[] =
    "usage: preview [OPTION ...] --machine FILE [--machine FILE ...] -- ARGUMENT-TEXT\n"
    "\n"
    "Shows what the Morix would do to one machine, from its registry, without\n"
    "changing the files: the verdict, the printers told and the registry changes\n"
    "first, then the details.\n"
    "\n"
    "  --machine FILE        one part of the machine's registry; give each part once:\n"
    "                        a regedit export, REGEDIT4 (9x: regedit /e) or Windows\n"
    "                        Registry Editor Version 5.00 (2000/XP), any encoding;\n"
    "                        an NT hive file under its Windows name (SOFTWARE,\n"
    "                        SYSTEM, NTUSER.DAT, DEFAULT; reg save writes them);\n"
    "                        a 9x registry file (SYSTEM.DAT, USER.DAT)\n"
    "                          --machine SOFTWARE --machine SYSTEM\n"
    "  -- ARGUMENT-TEXT      the program's argument text, quoted as one argument\n"
    "                          -- '-uninstall=Model 12'\n"
    "                          -- '-printerdriver=Model 12 -product=X -port=LPT1:'\n"
    "  --os NAME             win95, win98, winme, nt40, win2k or winxp: preview for\n"
    "                        this version whatever the inputs say (default: what\n"
    "                        they say)        --os winxp\n"
    "  --user NAME           the subkey of HKEY_USERS that is the current user when\n"
    "                        no input gives HKEY_CURRENT_USER (default .DEFAULT)\n"
    "                          --user S-1-5-21-1004336348-1177238915-682003330-1003\n"
    "  --component KIND      the vendor's component library qvzcon14.dll, which\n"
    "                        cannot run here: present (default: a stand-in records\n"
    "                        each VendorUninstall call and reports success), absent,\n"
    "                        noexport (present without VendorUninstall)\n"
    "                          --component absent\n"
    "  --write-result FILE   also write the whole registry after the run (REGEDIT4),\n"
    "                        e.g. to preview an uninstall after an install; an\n"
    "                        existing file is replaced, and the output says so\n"
    "                          --write-result after.reg\n"
    "  --keep                keep the temporary machine folder and say where\n"
    "  --json                write the result as one JSON document instead of text\n"
    "  --wine                (scripts/preview) then run the shipped program under\n"
    "                        Wine on the same machine and compare: the same registry\n"
    "                        changes, component calls and log lines, or each\n"
    "                        difference; exit status 3 when they differ\n"
    "  --help                this text\n"
    "Options also take --option=VALUE.\n"
    "\n"
    "Exit status: 0 previewed (the verdict is in the output), 1 an input or\n"
    "output path refused or the preview failed (the reason on stderr), 2 a usage\n"
    "error, 129/130/143 ended by SIGHUP/SIGINT/SIGTERM (the temporary folder\n"
    "removed).\n";

const char* const kVersionNames[] = {"win95", "win98", "winme", "nt40", "win2k", "winxp"};

struct Options
{
    std::string sOs;
    std::string sComponent = "present";
    bool fKeep = false;
    bool fJson = false;
    bool fHelp = false;
    std::string sWriteResult;
    std::vector<std::string> vsMachines;
    std::string sUser;
    bool fHaveText = false;
    std::string sText;
};

void ToStderr(const std::string& sText)
{
    std::string sShown = preview::FitTerminal(sText);
    fwrite(sShown.data(), 1, sShown.size(), stderr);
}

int Usage(const std::string& sProblem)
{
    ToStderr("preview: " + sProblem + "\n(preview --help tells every option)\n");
    return 2;
}

int Refuse(const std::string& sProblem)
{
    ToStderr("preview: " + sProblem + "\n");
    return 1;
}

// The argument text, quoted for a POSIX shell, for the hints.
std::string Quoted(const std::string& sText)
{
    std::string sQuoted = "'";
    for (char ch : sText)
        sQuoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return sQuoted + "'";
}

bool ParseOptions(int argc, char** argv, Options* pOptions, std::string* psProblem)
{
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--") == 0)
            break;
        else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)
        {
            pOptions->fHelp = true;
            return true;
        }
    for (int i = 1; i < argc; ++i)
    {
        std::string sArg = argv[i];
        bool fInline = false;
        std::string sInline;
        if (sArg.compare(0, 2, "--") == 0 && sArg.find('=') != std::string::npos)
        {
            fInline = true;
            sInline = sArg.substr(sArg.find('=') + 1);
            sArg.erase(sArg.find('='));
        }
        auto value = [&](std::string* psValue)
        {
            if (fInline)
                *psValue = sInline;
            else if (i + 1 >= argc)
            {
                *psProblem = sArg + " needs a value";
                return false;
            }
            else
                *psValue = argv[++i];
            return true;
        };
        auto flag = [&](bool* pf)
        {
            if (fInline)
                *psProblem = sArg + " takes no value";
            *pf = true;
            return !fInline;
        };
        if (sArg == "--" && !fInline)
        {
            if (argc - i - 1 != 1)
            {
                std::string sJoined;
                for (int k = i + 1; k < argc; ++k)
                    sJoined += (k > i + 1 ? " " : "") + std::string(argv[k]);
                *psProblem = "exactly one ARGUMENT-TEXT after --, quoted as one argument" +
                             (sJoined.empty() ? std::string(", e.g. -- '-uninstall=Model 12'")
                                              : ": -- " + Quoted(sJoined));
                return false;
            }
            pOptions->sText = argv[i + 1];
            pOptions->fHaveText = true;
            break;
        }
        std::string sValue;
        if (sArg == "--os")
        {
            if (!value(&pOptions->sOs))
                return false;
            bool fKnown = false;
            for (const char* psz : kVersionNames)
                fKnown = fKnown || pOptions->sOs == psz;
            if (!fKnown)
            {
                *psProblem = "--os " + pOptions->sOs + ": not one of win95, win98, winme, nt40, " +
                             "win2k, winxp";
                return false;
            }
        }
        else if (sArg == "--component")
        {
            if (!value(&pOptions->sComponent))
                return false;
            if (pOptions->sComponent != "present" && pOptions->sComponent != "absent" &&
                pOptions->sComponent != "noexport")
            {
                *psProblem = "--component " + pOptions->sComponent +
                             ": not one of present, absent, noexport";
                return false;
            }
        }
        else if (sArg == "--keep")
        {
            if (!flag(&pOptions->fKeep))
                return false;
        }
        else if (sArg == "--json")
        {
            if (!flag(&pOptions->fJson))
                return false;
        }
        else if (sArg == "--write-result")
        {
            if (!value(&pOptions->sWriteResult))
                return false;
            if (pOptions->sWriteResult.empty())
            {
                *psProblem = "--write-result needs a file name";
                return false;
            }
        }
        else if (sArg == "--user")
        {
            if (!value(&pOptions->sUser))
                return false;
        }
        else if (sArg == "--machine")
        {
            if (!value(&sValue))
                return false;
            pOptions->vsMachines.push_back(sValue);
        }
        else if (sArg.compare(0, 2, "--") == 0)
        {
            *psProblem = "unknown option " + sArg;
            return false;
        }
        else
        {
            // Most often the program's argument text without the -- before it,
            // perhaps not quoted either.
            std::string sRest;
            for (int k = i; k < argc; ++k)
                sRest += (k > i ? " " : "") + std::string(argv[k]);
            *psProblem = "unknown argument " + std::string(argv[i]) +
                         ": the program's argument text goes after --, quoted as one argument: "
                         "-- " +
                         Quoted(sRest);
            return false;
        }
    }
    if (pOptions->vsMachines.empty())
        *psProblem = "no --machine FILE given";
    else if (!pOptions->fHaveText)
        *psProblem = "no -- ARGUMENT-TEXT given (e.g. -- '-uninstall=Model 12')";
    return psProblem->empty();
}

// Whether --write-result can be written, checked before anything runs.
bool CheckOutputPath(const std::string& sPath, bool* pfExists, std::string* psProblem)
{
    struct stat st;
    *pfExists = stat(sPath.c_str(), &st) == 0;
    if (*pfExists && S_ISDIR(st.st_mode))
    {
        *psProblem = "--write-result " + sPath + " is a folder; name a file (in it, say)";
        return false;
    }
    if (*pfExists && !S_ISREG(st.st_mode))
    {
        *psProblem = "--write-result " + sPath + " exists and is not a regular file";
        return false;
    }
    size_t iSlash = sPath.rfind('/');
    std::string sFolder = iSlash == std::string::npos ? "." : sPath.substr(0, iSlash + 1);
    if (stat(sFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    {
        *psProblem = "--write-result " + sPath + ": the folder " + sFolder + " does not exist";
        return false;
    }
    if (access(*pfExists ? sPath.c_str() : sFolder.c_str(), W_OK) != 0)
    {
        *psProblem = "--write-result " + sPath + ": cannot write there (" + strerror(errno) + ")";
        return false;
    }
    return true;
}

// Interrupts. Until the temporary folder exists there is nothing to undo,
// so SIGINT, SIGTERM and SIGHUP end the preview at once; from then on they
// end the program under preview, and the preview removes the folder at its
// next step and exits with 128 + the signal's number.
volatile sig_atomic_t g_nSignal = 0;
volatile sig_atomic_t g_fHaveFolder = 0;
volatile pid_t g_pidProgram = 0;

void OnSignal(int nSignal)
{
    if (!g_fHaveFolder)
        _exit(128 + nSignal);
    g_nSignal = nSignal;
    if (g_pidProgram > 0)
        kill(g_pidProgram, SIGKILL);
}

void CatchInterrupts()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(nSignal, &action, nullptr);
}

bool SameFile(const std::string& sLeft, const std::string& sRight)
{
    struct stat stLeft;
    struct stat stRight;
    return stat(sLeft.c_str(), &stLeft) == 0 && stat(sRight.c_str(), &stRight) == 0 &&
           stLeft.st_dev == stRight.st_dev && stLeft.st_ino == stRight.st_ino;
}

std::string ReadWholeFile(const std::string& sPath, unsigned long long ullFrom = 0)
{
    std::ifstream file(sPath, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(ullFrom));
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs the program on the machine folder; its exit status, or -1.
int RunProgram(const std::string& sFolder, const std::string& sText, const std::string& sCalls)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
    {
        setenv("WINSIM_MACHINE", sFolder.c_str(), 1);
        setenv("TEMP", "C:\\TEMP", 1);
        setenv("TMP", "C:\\TEMP", 1);
        setenv("QVZCON_CALLS", sCalls.c_str(), 1);
        // The preview reads the run's changes from the records it appends.
        setenv("WINSIM_KEEP_RECORDS", "1", 1);
        const char* apszArgv[] = {MORIX_PROGRAM, sText.c_str(), nullptr};
        execv(MORIX_PROGRAM, const_cast<char* const*>(apszArgv));
        fprintf(stderr, "preview: cannot start %s: %s\n", MORIX_PROGRAM, strerror(errno));
        _exit(127);
    }
    g_pidProgram = pid;
    if (g_nSignal)
        kill(pid, SIGKILL);
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0)
        if (errno != EINTR)
            return -1;
    g_pidProgram = 0;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

std::string FindLog(const std::string& sTempFolder)
{
    std::string sFound;
    DIR* pDir = opendir(sTempFolder.c_str());
    if (!pDir)
        return sFound;
    while (dirent* pEntry = readdir(pDir))
    {
        std::string sName = pEntry->d_name;
        if (sName.size() == 14 && strncasecmp(sName.c_str(), "qvzmorix", 8) == 0 &&
            strcasecmp(sName.c_str() + 10, ".log") == 0 && (sFound.empty() || sName < sFound))
            sFound = sName;
    }
    closedir(pDir);
    return sFound;
}

// The host folder that stands for a folder on the machine ("X:\a\b" is
// drive_x/a/b); the path is one FindFolders checked.
std::string HostFolder(const std::string& sMachineFolder, const std::string& sWindowsPath)
{
    std::string sHost = sMachineFolder + "/drive_" +
                        static_cast<char>(tolower(static_cast<unsigned char>(sWindowsPath[0])));
    for (size_t i = 2; i < sWindowsPath.size(); ++i)
        sHost += sWindowsPath[i] == '\\' ? '/' : sWindowsPath[i];
    return sHost;
}

// The settings the stand-in takes from the machine's registry: the version
// (where Wine keeps it) and the machine's own folders (a setting only the
// stand-in has).
std::string MachineSettings(const std::string& sOs, const preview::MachineFolders& folders)
{
    std::string sText = "\n[HKEY_CURRENT_USER\\Software\\Wine]\n\"Version\"=\"" + sOs + "\"\n";
    sText += "\n[" + std::string(winsim::detail::kFoldersKey) + "]\n";
    winsim::detail::FormatValueLine(
        "WindowsDirectory", REG_SZ,
        std::string_view(folders.sWindows.c_str(), folders.sWindows.size() + 1), &sText);
    winsim::detail::FormatValueLine(
        "SystemDirectory", REG_SZ,
        std::string_view(folders.sSystem.c_str(), folders.sSystem.size() + 1), &sText);
    return sText;
}

// The lines of the log, without their line ends.
std::vector<std::string> LogLines(const std::string& sText)
{
    std::vector<std::string> vsLines;
    size_t iStart = 0;
    while (iStart < sText.size())
    {
        size_t iEnd = sText.find('\n', iStart);
        if (iEnd == std::string::npos)
            iEnd = sText.size();
        std::string sLine = sText.substr(iStart, iEnd - iStart);
        if (!sLine.empty() && sLine.back() == '\r')
            sLine.pop_back();
        vsLines.push_back(sLine);
        iStart = iEnd + 1;
    }
    return vsLines;
}

void Write(const std::string& sText)
{
    fwrite(sText.data(), 1, sText.size(), stdout);
}

} // namespace

int main(int argc, char** argv)
{
    CatchInterrupts();
    preview::InitTerminal();
    Options options;
    std::string sProblem;
    if (!ParseOptions(argc, argv, &options, &sProblem))
        return Usage(sProblem);
    if (options.fHelp)
    {
        fputs(kUsage, stdout);
        return 0;
    }
    preview::Result result;
    result.sTyped = preview::TypedAsUtf8(options.sText);
    result.sComponent = options.sComponent;
    result.sWriteResult = options.sWriteResult;
    if (!options.sWriteResult.empty())
    {
        for (const std::string& sMachine : options.vsMachines)
            if (SameFile(sMachine, options.sWriteResult))
                return Refuse("--write-result " + options.sWriteResult +
                              " is an input file; the inputs are never changed");
        if (!CheckOutputPath(options.sWriteResult, &result.fWriteResultReplaces, &sProblem))
            return Refuse(sProblem);
    }
    if (!preview::ArgumentForMachine(options.sText, &result.sArgument, &result.nArgumentChanged))
        return Refuse("the argument text is not text in the terminal's character set (UTF-8)");

    // Everything is read and checked before anything runs.
    winsim::detail::Registry registry;
    std::string sError;
    if (!preview::ReadExports(options.vsMachines, registry, &result.vFiles, &sError))
        return Refuse(sError);
    if (!preview::ChooseCurrentUser(result.vFiles, options.sUser, registry, &result.user, &sError))
        return Refuse(sError);
    if (!preview::ChooseVersion(options.sOs, result.vFiles, &result.version, &sError))
        return Refuse(sError);
    const std::string& sOs = result.version.sName;
    result.folders = preview::FindFolders(registry, sOs);
    result.vPrinters = preview::FindPrinters(registry, &result.sPrintersKey);

    // The temporary machine: the registry, the version the stand-in obeys,
    // the machine's own folders, C:\TEMP, and the component library assumed.
    const char* pszBase = getenv("TMPDIR");
    std::string sTemplate =
        std::string(pszBase && *pszBase ? pszBase : "/tmp") + "/morix-preview.XXXXXX";
    std::vector<char> vchTemplate(sTemplate.begin(), sTemplate.end());
    vchTemplate.push_back('\0');
    // An interrupt from here on removes the folder, so none may end the
    // preview between its making and the preview knowing its name.
    sigset_t interrupts;
    sigset_t before;
    sigemptyset(&interrupts);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&interrupts, nSignal);
    sigprocmask(SIG_BLOCK, &interrupts, &before);
    bool fMade = mkdtemp(vchTemplate.data()) != nullptr;
    int nMakeError = errno;
    g_fHaveFolder = fMade;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (!fMade)
        return Refuse("cannot make a temporary machine folder: " +
                      std::string(strerror(nMakeError)));
    std::string sFolder = vchTemplate.data();
    std::error_code ec;
    auto cleanUp = [&]()
    {
        if (options.fKeep && !g_nSignal)
            ToStderr("preview: machine folder kept: " + sFolder + "\n");
        else
            std::filesystem::remove_all(sFolder, ec);
    };
    auto interrupted = [&]()
    {
        if (!g_nSignal)
            return false;
        std::filesystem::remove_all(sFolder, ec);
        ToStderr("preview: interrupted by " + std::string(strsignal(g_nSignal)) +
                 "; the temporary machine folder is removed\n");
        return true;
    };

    std::filesystem::create_directories(sFolder + "/drive_c/TEMP", ec);
    std::string sSystemFolder = HostFolder(sFolder, result.folders.sSystem);
    std::filesystem::create_directories(sSystemFolder, ec);
    std::string sRegistryPath = sFolder + "/registry.reg";
    bool fReady =
        winsim::detail::WriteRegFile(registry, sRegistryPath, MachineSettings(sOs, result.folders));
    struct stat stMachine;
    fReady = fReady && stat(sRegistryPath.c_str(), &stMachine) == 0;
    unsigned long long ullBefore = fReady ? static_cast<unsigned long long>(stMachine.st_size) : 0;
    if (options.sComponent == "present")
    {
        std::filesystem::copy_file(MORIX_COMPONENT, sSystemFolder + "/qvzcon14.dll", ec);
        fReady = fReady && !ec;
        result.sComponentNote = "present (assumed): the preview cannot load the vendor's library; "
                                "a stand-in records each VendorUninstall call and reports success";
    }
    else if (options.sComponent == "noexport")
    {
        std::filesystem::copy_file(MORIX_COMPONENT_NOEXPORT, sSystemFolder + "/qvzcon14.dll", ec);
        fReady = fReady && !ec;
        result.sComponentNote = "present without the VendorUninstall export (assumed)";
    }
    else
        result.sComponentNote = "absent (assumed): no qvzcon14.dll in the system folder";
    if (interrupted())
        return 128 + g_nSignal;
    if (!fReady)
    {
        cleanUp();
        return Refuse("cannot set up the temporary machine in " + sFolder);
    }

    std::string sCalls = sFolder + "/vendor-calls.txt";
    result.nStatus = RunProgram(sFolder, result.sArgument, sCalls);
    if (interrupted())
        return 128 + g_nSignal;

    result.sLogName = FindLog(sFolder + "/drive_c/TEMP");
    if (!result.sLogName.empty())
        result.vsLog = LogLines(ReadWholeFile(sFolder + "/drive_c/TEMP/" + result.sLogName));
    std::string sRecords = ReadWholeFile(sRegistryPath, ullBefore);
    if (!preview::ApplyRunRecords(sRecords, registry, &result.changes, &sError))
    {
        cleanUp();
        return Refuse("cannot read the run's changes: " + sError);
    }
    result.vsConversionsOnRun = preview::DescribeConversionsOnRun(result.vFiles, result.changes);
    result.vsCalls = LogLines(ReadWholeFile(sCalls));
    preview::Analyse(&result);
    if (interrupted())
        return 128 + g_nSignal;

    int nResult = result.nStatus == 0 ? 0 : 1;
    if (!options.sWriteResult.empty())
    {
        preview::ReturnCurrentUser(result.user, registry);
        result.fWriteResultDone = winsim::detail::WriteRegFile(registry, options.sWriteResult);
        if (!result.fWriteResultDone)
        {
            ToStderr("preview: cannot write " + options.sWriteResult + ": " + strerror(errno) +
                     "\n");
            nResult = 1;
        }
        if (interrupted())
        {
            std::filesystem::remove(options.sWriteResult, ec);
            return 128 + g_nSignal;
        }
    }
    Write(options.fJson ? preview::RenderJson(result)
                        : preview::FitTerminal(preview::RenderText(result)));
    fflush(stdout);
    cleanUp();
    return nResult;
}
