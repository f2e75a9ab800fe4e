// The preview: runs the Morix on a temporary machine made from registry
// exports of a real machine and shows what the run would do there.
#pragma once

#include <winsim/machine_folder.h>
#include <winsim/registry_tree.h>
#include <winsim/regtext_read.h>
#include <winsim/regtext_write.h>

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

// A name or string stored in a form Windows-1252 does not have exactly: the
// program sees it converted (see winsim/codepage.h).
struct Conversion
{
    std::string sKey;    // the key as the program sees it, root first
    bool fValue = false; // a value's name or data; else one of the key's names
    std::string sValue;  // the value's name as the program sees it
    std::string sStored; // as stored (UTF-8), cut at 80 characters
    std::string sSeen;   // as the program sees it (Windows-1252), cut likewise
    size_t nLine = 0;    // the line of a text export; 0 in a binary file
    // A string value whose bytes do not make whole UTF-16 units: how many
    // there are (sSeen is what the program sees); 0 for a conversion.
    size_t cbOdd = 0;
};

struct InputFile
{
    std::string sPath;
    int nFormat = 0;
    std::string sEncoding; // a text export's encoding and line ends
    VersionClue clue;
    // The parts of the registry it gives, as "HKEY_LOCAL_MACHINE\SOFTWARE"
    // (a hive: where it is mounted; an export: each root's first-level keys).
    std::vector<std::string> vsPlaces;
    size_t nConverted = 0;                // names and strings converted
    size_t nOddStrings = 0;               // string values of an odd number of bytes
    std::vector<Conversion> vConversions; // the first kKeptConversions of them
    std::vector<std::string> vsWarnings;  // what the preview cannot vouch for
};

const size_t kKeptConversions = 1000;

// Reads every export into one registry, in order. False with *psError
// ("<file>:<place>: <reason>") on the first problem, or when two files give
// the same part of the registry.
bool ReadExports(const std::vector<std::string>& vsPaths, winsim::detail::Registry& registry,
                 std::vector<InputFile>* pvFiles, std::string* psError);

// The input's notes for the assumptions: how many names and strings were
// converted with the first few, and its warnings; one line each, or none.
std::vector<std::string> DescribeInput(const InputFile& file, size_t nExamples = 3);

// A file that starts with a hive's signature ("regf").
bool IsHiveFile(const std::string& sPath);
// Reads an NT hive file (through libhivex where the build has it) into the
// sink, below the key its file name stands for; names and strings go
// through the converter. Notes a dirty hive in *pvsWarnings.
bool ReadHive(const std::string& sPath, winsim::detail::RegTextSink* pSink,
              winsim::detail::RegTextConverter* pConverter, std::vector<std::string>* pvsWarnings,
              std::string* psError);
// Where a hive file belongs, from its name as Windows names it: the root and
// the key below it (empty for the root itself); false for another name.
bool HiveMount(const std::string& sPath, int* piRoot, std::string* psKey);

// A Windows 9x registry file ("CREG": SYSTEM.DAT, USER.DAT).
bool Is9xRegistryFile(const std::string& sPath);
// Reads it (through libcreg where the build has it) into the sink:
// SYSTEM.DAT is HKEY_LOCAL_MACHINE, USER.DAT HKEY_USERS.
bool Read9xRegistry(const std::string& sPath, winsim::detail::RegTextSink* pSink, int* piRoot,
                    std::string* psError);

// The nFormat of an InputFile read from a binary registry file.
const int kFormatHive = 100;
const int kFormat9x = 101;

// Where HKEY_CURRENT_USER comes from.
struct CurrentUser
{
    enum Source
    {
        None,      // no input gives a current user
        FromInput, // an input gives HKEY_CURRENT_USER
        FromUsers  // taken from HKEY_USERS\<sUsersKey>
    } eSource = None;
    std::string sFile;     // FromInput: the first input that gives it
    std::string sUsersKey; // FromUsers: the subkey, as the input spells it
    bool fNamed = false;   // FromUsers: named with --user (else .DEFAULT)
};

// Fills HKEY_CURRENT_USER from HKEY_USERS\.DEFAULT, or the subkey sUser
// names, when no input gives it and one gives HKEY_USERS. False with
// *psError when sUser cannot be used.
bool ChooseCurrentUser(const std::vector<InputFile>& vFiles, const std::string& sUser,
                       winsim::detail::Registry& registry, CurrentUser* pUser,
                       std::string* psError);
// After the run: the current user's keys back under HKEY_USERS where they
// came from (HKEY_CURRENT_USER is that key on a real machine).
void ReturnCurrentUser(const CurrentUser& user, winsim::detail::Registry& registry);
std::string DescribeCurrentUser(const CurrentUser& user);

// The registry changes the run made: the change records it appended to
// registry.reg, applied to the registry as it was before the run.
// The counts add up: keys after the run = keys before - nKeysRemoved -
// nSubkeysRemoved + nKeysCreated; values after = values before + nValuesNew -
// nValuesRemoved - nValuesRemovedWithKeys.
// One change in the list, in the order the list shows it. Names and data are
// machine text.
struct RegistryChange
{
    enum Kind
    {
        KeyRemoved,
        KeyCreated,
        ValueWritten,
        ValueRemoved
    } eKind = KeyCreated;
    std::string sKeyPath;
    size_t nSubkeys = 0; // KeyRemoved: as the subtree was before the run
    size_t nValues = 0;
    std::string sName;
    // The value as it was before the run.
    bool fHadOld = false;
    DWORD dwOldType = REG_NONE;
    std::string sOldBytes;
    DWORD dwNewType = REG_NONE;
    std::string sNewBytes;
};

struct ChangeList
{
    std::vector<RegistryChange> vEntries;
    std::string sText;          // REGEDIT4
    size_t nKeysRemoved = 0;    // top keys of removed subtrees
    size_t nSubkeysRemoved = 0; // the keys below them, as they were before the run
    size_t nKeysCreated = 0;    // parents included
    size_t nValuesWritten = 0;
    size_t nValuesNew = 0;       // of those written: where there was none
    size_t nValuesUnchanged = 0; // of those written: the same type and data as before
    size_t nValuesRemoved = 0;
    size_t nValuesRemovedWithKeys = 0;
    std::vector<std::string> vsKeys; // every key a record names, in order
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

// The terminal. The preview builds its output in UTF-8: machine text
// (Windows-1252) goes through ForTerminal. FitTerminal then writes it in the
// locale's character set: a character the set lacks, a control character
// other than tab and line feed, and a byte that is not UTF-8 are escaped
// visibly (<U+00FC>, <0xFC>), never written raw. InitTerminal reads the
// locale once.
void InitTerminal();
std::string ForTerminal(std::string_view svMachineText);
std::string FitTerminal(std::string_view svUtf8);
// The UTF-8 character at svText[i]: its length, or 0 where the bytes there
// are not one (an encoded surrogate is not one either).
size_t DecodeUtf8(std::string_view svText, size_t i, unsigned int* puChar);
// The argument text typed on the terminal as the machine's ANSI text;
// *pnChanged counts characters without their exact form there. False when it
// is not text in the terminal's character set.
bool ArgumentForMachine(const std::string& sTyped, std::string* psAnsi, size_t* pnChanged);
// The typed argument text in UTF-8, for showing it: in a locale of another
// character set it is taken as the machine's ANSI text, as it reaches the
// program.
std::string TypedAsUtf8(const std::string& sTyped);

// The converted names and strings on the run's path, where the preview shows
// what the program sees rather than what the machine stores: on a key the
// run changed, above or below it, or on a printer's key (the program reads
// them all). One line each.
std::vector<std::string> DescribeConversionsOnRun(const std::vector<InputFile>& vFiles,
                                                  const ChangeList& changes);

} // namespace preview
