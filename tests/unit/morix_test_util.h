// Shared fixture of the Morix unit tests: an empty stand-in machine, the temp
// directory on its C: drive, the process log opened as the program opens it,
// and helpers that read the log back as a list of lines.
#pragma once

#include <windows.h>
#include <winsim.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morix_test
{

using Lines = std::vector<std::string>;

// The last path component of each module as its report lines show it.
extern const char kMain[];
extern const char kInstall[];
extern const char kUninstall[];
extern const char kRegistry[];
extern const char kUtils[];

// One failure report line, with the line number normalised to "N".
std::string Report(const std::string& sModule, const std::string& sCondition);

// Whole file as bytes, read on the host (not through the stand-in fopen).
std::string ReadHostFile(const std::string& sHostPath);
bool HostPathExists(const std::string& sHostPath);

// Host path of the log file with the given number in C:\TEMP.
std::string LogHostPath(int nNumber);

// Splits log bytes into lines: every line must end in CR LF. Report line
// numbers are normalised to "N".
Lines SplitLogLines(const std::string& sBytes);

class MorixTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Merges REGEDIT4 text (the header line is added) and fails the test if
    // it does not parse.
    static void Import(const std::string& sText);
    static void SetVersion(const std::string& sVersion);

    // The lines of the newest numbered log in C:\TEMP after its header.
    static Lines LogLines();

    // Value of a registry value as text (REG_SZ without its NUL) or as a
    // number (REG_DWORD); false when absent.
    static bool GetString(const std::string& sKey, const std::string& sName, std::string* psText);
    static bool GetDword(const std::string& sKey, const std::string& sName, DWORD* pdwValue);
};

} // namespace morix_test
