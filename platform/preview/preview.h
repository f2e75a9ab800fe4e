// The preview: runs the Morix on a temporary machine made from registry
// exports of a real machine and shows what the run would do there.
#pragma once

#include "../src/winsim_internal.h"

#include <string>
#include <string_view>
#include <vector>

namespace preview
{

// What one export says about the Windows version, if anything.
struct VersionClue
{
    std::string sFile;
    std::string sName;  // win95 ... winxp; empty when the file says nothing
    std::string sWhere; // the key and value it came from, with its data
    std::string sError; // a version the program does not know
};

// What one input gives, noted key by key as it is read: each root it has
// keys under, or the one key below a root when all its keys are there (a
// hive's place).
class GivenRoots
{
public:
    void Note(int iRoot, const std::vector<std::string_view>& vsvPath);
    std::vector<std::string> List() const;

private:
    struct Given
    {
        int iRoot;
        std::string sTop;
        bool fOneTop;
    };
    std::vector<Given> m_vGiven;
};

struct InputFile
{
    std::string sPath;
    int nFormat = 0;
    VersionClue clue;
    std::vector<std::string> vsGives; // GivenRoots::List()
};

// Reads every export into one registry, in order. False with *psError
// ("<file>:<line>: <reason>") on the first problem.
bool ReadExports(const std::vector<std::string>& vsPaths, winsim::detail::Registry& registry,
                 std::vector<InputFile>* pvFiles, std::string* psError);

// A file that starts with a hive's signature ("regf").
bool IsHiveFile(const std::string& sPath);
// Reads an NT hive file (through libhivex where the build has it) into the
// sink, below the key its file name stands for.
bool ReadHive(const std::string& sPath, winsim::detail::RegTextSink* pSink, std::string* psError);

// The nFormat of an InputFile read from a hive.
const int kFormatHive = 100;

// The registry changes the run made: the change records it appended to
// registry.reg, applied to the registry as it was before the run.
// The counts add up: keys after the run = keys before - nKeysRemoved -
// nSubkeysRemoved + nKeysCreated; values after = values before + nValuesNew -
// nValuesRemoved - nValuesRemovedWithKeys.
struct ChangeList
{
    std::string sText;          // REGEDIT4
    size_t nKeysRemoved = 0;    // top keys of removed subtrees
    size_t nSubkeysRemoved = 0; // the keys below them, as they were before the run
    size_t nKeysCreated = 0;    // parents included
    size_t nValuesWritten = 0;
    size_t nValuesNew = 0;       // of those written: where there was none
    size_t nValuesUnchanged = 0; // of those written: the same type and data as before
    size_t nValuesRemoved = 0;
    size_t nValuesRemovedWithKeys = 0;
};

bool ApplyRunRecords(const std::string& sRecords, winsim::detail::Registry& registry,
                     ChangeList* pChanges, std::string* psError);
// The counts as the comment lines that close the list.
std::string ChangeSummary(const ChangeList& changes);

// The Windows version the run is for: --os, or what the inputs agree on.
// sSource says which; vsClaims are the inputs' own version values
// ("file: key "value" = "data"") where they are not what the run uses. Both
// are for the terminal, as are the messages.
struct VersionChoice
{
    std::string sName;
    std::string sSource;
    std::vector<std::string> vsClaims;
};
bool ChooseVersion(const std::string& sOsOption, const std::vector<InputFile>& vFiles,
                   VersionChoice* pChoice, std::string* psError);

// The machine's own Windows and system folders (machine text).
struct MachineFolders
{
    std::string sWindows;
    std::string sWindowsSource;
    std::string sSystem;
    std::string sSystemSource;
};
MachineFolders FindFolders(const winsim::detail::Registry& registry, const std::string& sOs);

// A printer as the spooler will list it (machine text).
struct PrinterFound
{
    std::string sName;
    bool fHasDriver = false;
    std::string sDriver;
    bool fHasPort = false;
    std::string sPort;
};
// The printers and the key they are in (empty when there is none).
std::vector<PrinterFound> FindPrinters(const winsim::detail::Registry& registry,
                                       std::string* psKey);
// "NAME": driver "DRIVER", port "PORT", for the terminal.
std::string DescribePrinter(const PrinterFound& printer);

// The terminal: machine text (Windows-1252) is shown in the locale's
// character set, UTF-8 where it is that, else as it is. InitTerminal reads
// the locale once.
void InitTerminal();
std::string ForTerminal(std::string_view svMachineText);
// The argument text typed on the terminal as the machine's ANSI text;
// *pnChanged counts characters without their exact form there. False when it
// is not text in the terminal's character set.
bool ArgumentForMachine(const std::string& sTyped, std::string* psAnsi, size_t* pnChanged);

} // namespace preview
