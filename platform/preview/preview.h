// The preview: runs the Morix on a temporary machine made from registry
// exports of a real machine and shows what the run would do there.
#pragma once

#include "../src/winsim_internal.h"

#include <string>
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

struct InputFile
{
    std::string sPath;
    int nFormat = 0;
    VersionClue clue;
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
struct ChangeList
{
    std::string sText; // REGEDIT4
    size_t nKeysRemoved = 0;
    size_t nKeysCreated = 0;
    size_t nValuesWritten = 0;
    size_t nValuesRemoved = 0;
};

bool ApplyRunRecords(const std::string& sRecords, winsim::detail::Registry& registry,
                     ChangeList* pChanges, std::string* psError);

} // namespace preview
