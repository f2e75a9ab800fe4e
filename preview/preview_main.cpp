// morix_preview: what the Morix would do to a real machine, from exports of
// its registry, without touching them.
//
//   morix_preview [--os NAME] [--component present|absent|noexport] [--keep]
//                 [--write-result FILE.reg] [--user NAME] --machine FILE
//                 [--machine FILE ...] -- ARGUMENT-TEXT
//
// The exports (REGEDIT4, or regedit's version 5.00 in UTF-16LE) are read and
// checked first; nothing runs when one is bad. The program then runs once on
// a temporary machine folder made from them, with the machine's own folders,
// and the preview prints what it read and assumed, the log, the registry
// changes as REGEDIT4, and the VendorUninstall calls.
#include "preview.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
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
    "usage: preview [--os NAME] [--component present|absent|noexport] [--keep]\n"
    "               [--write-result FILE.reg] [--user NAME] --machine FILE [--machine FILE ...] "
    "-- ARGUMENT-TEXT\n"
    "  NAME: win95, win98, winme, nt40, win2k, winxp; decides over the exports (default: "
    "taken from them)\n"
    "  FILE: a registry export, REGEDIT4 or Windows Registry Editor Version 5.00\n"
    "  NAME (--user): the subkey of HKEY_USERS that is the current user when no FILE gives\n"
    "    HKEY_CURRENT_USER (default: .DEFAULT)\n"
    "  ARGUMENT-TEXT: the program's argument text as one argument, e.g. '-uninstall=Model 12'\n";

const char* const kVersionNames[] = {"win95", "win98", "winme", "nt40", "win2k", "winxp"};

struct Options
{
    std::string sOs;
    std::string sComponent = "present";
    bool fKeep = false;
    std::string sWriteResult;
    std::vector<std::string> vsMachines;
    std::string sUser;
    bool fHaveText = false;
    std::string sText;
};

int Usage(const std::string& sProblem)
{
    fprintf(stderr, "preview: %s\n%s", sProblem.c_str(), kUsage);
    return 2;
}

int Refuse(const std::string& sProblem)
{
    fprintf(stderr, "preview: %s\n", sProblem.c_str());
    return 1;
}

bool ParseOptions(int argc, char** argv, Options* pOptions, std::string* psProblem)
{
    for (int i = 1; i < argc; ++i)
    {
        std::string sArg = argv[i];
        auto value = [&](std::string* psValue)
        {
            if (i + 1 >= argc)
            {
                *psProblem = sArg + " needs a value";
                return false;
            }
            *psValue = argv[++i];
            return true;
        };
        if (sArg == "--")
        {
            if (argc - i - 1 != 1)
            {
                *psProblem = "exactly one ARGUMENT-TEXT after --, quoted as one argument";
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
            pOptions->fKeep = true;
        else if (sArg == "--write-result")
        {
            if (!value(&pOptions->sWriteResult))
                return false;
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
        else
        {
            *psProblem = "unknown argument " + sArg;
            return false;
        }
    }
    if (pOptions->vsMachines.empty())
        *psProblem = "no --machine FILE given";
    else if (!pOptions->fHaveText)
        *psProblem = "no -- ARGUMENT-TEXT given";
    return psProblem->empty();
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

std::string FormatName(const preview::InputFile& file)
{
    if (file.nFormat == preview::kFormatHive)
        return "NT hive file";
    if (file.nFormat == preview::kFormat9x)
        return "Windows 9x registry file";
    return (file.nFormat == winsim::detail::RegTextVersion5 ? "Windows Registry Editor Version 5.00"
                                                            : "REGEDIT4") +
           std::string(", ") + file.sEncoding;
}

// What the readers found that the run's result depends on: the text they
// converted, their warnings, and whose HKEY_CURRENT_USER it is.
void PrintReaderFacts(const std::vector<preview::InputFile>& vFiles,
                      const preview::CurrentUser& user)
{
    for (const preview::InputFile& file : vFiles)
        for (const std::string& sNote : preview::DescribeInput(file))
            printf("  %s: %s\n", file.sPath.c_str(), sNote.c_str());
    printf("Current user: %s\n", preview::DescribeCurrentUser(user).c_str());
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
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0)
        if (errno != EINTR)
            return -1;
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

void Show(const std::string& sText)
{
    fwrite(sText.data(), 1, sText.size(), stdout);
}

void Banner(const std::string& sTitle)
{
    printf("\n======== %s\n", sTitle.c_str());
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

} // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string sProblem;
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))
    {
        fputs(kUsage, stdout);
        return 0;
    }
    if (!ParseOptions(argc, argv, &options, &sProblem))
        return Usage(sProblem);
    for (const std::string& sMachine : options.vsMachines)
        if (!options.sWriteResult.empty() && SameFile(sMachine, options.sWriteResult))
            return Refuse("--write-result " + options.sWriteResult +
                          " is an input file; the inputs are never changed");
    preview::InitTerminal();
    std::string sArgument;
    size_t nArgumentChanged = 0;
    if (!preview::ArgumentForMachine(options.sText, &sArgument, &nArgumentChanged))
        return Refuse("the argument text is not text in the terminal's character set (UTF-8)");

    // Everything is read and checked before anything runs.
    winsim::detail::Registry registry;
    std::vector<preview::InputFile> vFiles;
    std::string sError;
    if (!preview::ReadExports(options.vsMachines, registry, &vFiles, &sError))
        return Refuse(sError);
    preview::CurrentUser user;
    if (!preview::ChooseCurrentUser(vFiles, options.sUser, registry, &user, &sError))
        return Refuse(sError);
    preview::VersionChoice version;
    if (!preview::ChooseVersion(options.sOs, vFiles, &version, &sError))
        return Refuse(sError);
    const std::string& sOs = version.sName;
    preview::MachineFolders folders = preview::FindFolders(registry, sOs);
    std::string sPrintersKey;
    std::vector<preview::PrinterFound> vPrinters = preview::FindPrinters(registry, &sPrintersKey);

    // The temporary machine: the registry, the version the stand-in obeys,
    // the machine's own folders, C:\TEMP, and the component library assumed.
    const char* pszBase = getenv("TMPDIR");
    std::string sTemplate =
        std::string(pszBase && *pszBase ? pszBase : "/tmp") + "/morix-preview.XXXXXX";
    std::vector<char> vchTemplate(sTemplate.begin(), sTemplate.end());
    vchTemplate.push_back('\0');
    if (!mkdtemp(vchTemplate.data()))
        return Refuse("cannot make a temporary machine folder: " + std::string(strerror(errno)));
    std::string sFolder = vchTemplate.data();
    std::error_code ec;
    std::filesystem::create_directories(sFolder + "/drive_c/TEMP", ec);
    std::string sSystemFolder = HostFolder(sFolder, folders.sSystem);
    std::filesystem::create_directories(sSystemFolder, ec);
    std::string sRegistryPath = sFolder + "/registry.reg";
    bool fReady =
        winsim::detail::WriteRegFile(registry, sRegistryPath, MachineSettings(sOs, folders));
    struct stat stMachine;
    fReady = fReady && stat(sRegistryPath.c_str(), &stMachine) == 0;
    unsigned long long ullBefore = fReady ? static_cast<unsigned long long>(stMachine.st_size) : 0;
    std::string sComponentNote;
    if (options.sComponent == "present")
    {
        std::filesystem::copy_file(MORIX_COMPONENT, sSystemFolder + "/qvzcon14.dll", ec);
        fReady = fReady && !ec;
        sComponentNote = "present (assumed): the preview cannot load the vendor's library; a "
                         "stand-in records each VendorUninstall call and reports success";
    }
    else if (options.sComponent == "noexport")
    {
        std::filesystem::copy_file(MORIX_COMPONENT_NOEXPORT, sSystemFolder + "/qvzcon14.dll", ec);
        fReady = fReady && !ec;
        sComponentNote = "present without the VendorUninstall export (assumed)";
    }
    else
        sComponentNote = "absent (assumed): no qvzcon14.dll in the system folder";
    auto cleanUp = [&]()
    {
        if (options.fKeep)
            printf("\n(machine folder kept: %s)\n", sFolder.c_str());
        else
            std::filesystem::remove_all(sFolder, ec);
    };
    if (!fReady)
    {
        cleanUp();
        return Refuse("cannot set up the temporary machine in " + sFolder);
    }

    // The assumptions: what was read from where, and what is assumed.
    printf("Morix preview: qvzmrx14 %s\n", options.sText.c_str());
    if (nArgumentChanged > 0)
        printf("Argument text as the machine's ANSI code page has it: %s (%zu characters "
               "without their exact form there)\n",
               preview::ForTerminal(sArgument).c_str(), nArgumentChanged);
    for (const preview::InputFile& file : vFiles)
    {
        std::string sPlaces;
        for (const std::string& sPlace : file.vsPlaces)
            sPlaces += (sPlaces.empty() ? "" : ", ") + sPlace;
        printf("Machine file: %s (%s), giving %s\n", file.sPath.c_str(), FormatName(file).c_str(),
               sPlaces.empty() ? "no keys" : preview::ForTerminal(sPlaces).c_str());
    }
    PrintReaderFacts(vFiles, user);
    printf("Windows version: %s (%s)\n", sOs.c_str(), version.sSource.c_str());
    for (const std::string& sClaim : version.vsClaims)
        printf("  %s\n", sClaim.c_str());
    printf("Windows folder: %s (%s)\n", preview::ForTerminal(folders.sWindows).c_str(),
           preview::ForTerminal(folders.sWindowsSource).c_str());
    printf("System folder: %s (%s)\n", preview::ForTerminal(folders.sSystem).c_str(),
           folders.sSystemSource.c_str());
    if (sPrintersKey.empty())
        printf("Printers: none (no input has a ...\\Control\\Print\\Printers key the spooler "
               "reads)\n");
    else if (vPrinters.empty())
        printf("Printers: none (%s has no subkeys)\n", preview::ForTerminal(sPrintersKey).c_str());
    else
        printf("Printers: %zu in %s\n", vPrinters.size(),
               preview::ForTerminal(sPrintersKey).c_str());
    for (const preview::PrinterFound& printer : vPrinters)
        printf("  %s\n", preview::DescribePrinter(printer).c_str());
    printf("Component library: %s\n", sComponentNote.c_str());
    fflush(stdout);

    std::string sCalls = sFolder + "/vendor-calls.txt";
    int nStatus = RunProgram(sFolder, sArgument, sCalls);

    std::string sLog = FindLog(sFolder + "/drive_c/TEMP");
    Banner("The log" + (sLog.empty() ? std::string() : " (C:\\TEMP\\" + sLog + ")"));
    if (sLog.empty())
        printf("(no log written)\n");
    else
        Show(preview::ForTerminal(ReadWholeFile(sFolder + "/drive_c/TEMP/" + sLog)));
    if (nStatus != 0)
        printf("(the program ended with status %d)\n", nStatus);

    preview::ChangeList changes;
    std::string sRecords = ReadWholeFile(sRegistryPath, ullBefore);
    if (!preview::ApplyRunRecords(sRecords, registry, &changes, &sError))
    {
        cleanUp();
        return Refuse("cannot read the run's changes: " + sError);
    }
    Banner("Registry changes");
    Show(preview::ForTerminal(changes.sText));
    printf("\n%s", preview::ChangeSummary(changes).c_str());
    for (const std::string& sLine : preview::DescribeConversionsOnRun(vFiles, changes))
        printf("; %s\n", sLine.c_str());

    Banner("VendorUninstall calls (component library " + options.sComponent + ")");
    std::string sCallText = ReadWholeFile(sCalls);
    if (sCallText.empty())
        printf("(none)\n");
    std::istringstream calls(sCallText);
    for (std::string sPrinter; std::getline(calls, sPrinter);)
        printf("VendorUninstall(\"%s\")\n", preview::ForTerminal(sPrinter).c_str());

    int nResult = nStatus == 0 ? 0 : 1;
    if (!options.sWriteResult.empty())
    {
        preview::ReturnCurrentUser(user, registry);
        if (winsim::detail::WriteRegFile(registry, options.sWriteResult))
            printf("\n(the registry after the run: %s)\n", options.sWriteResult.c_str());
        else
        {
            fprintf(stderr, "preview: cannot write %s: %s\n", options.sWriteResult.c_str(),
                    strerror(errno));
            nResult = 1;
        }
    }
    cleanUp();
    return nResult;
}
