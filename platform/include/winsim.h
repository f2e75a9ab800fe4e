// Test API of the host platform layer: machine state and fault injection.
// Production code never includes this header.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace winsim
{

// Back to an empty in-memory machine: no registry keys, no files, no faults,
// no hooks, counters at zero. Unit tests call it in SetUp.
void Reset();

// Loads the machine folder (registry.reg plus drive_c/). On a parse error or a
// missing folder returns false and sets *psError to "<file>:<line>: <reason>";
// the machine is then left as it was.
bool LoadMachine(const std::string& sFolder, std::string* psError);

// Host folder that backs drive C: of the current machine (created on demand
// for the in-memory machine, under a private temporary folder).
std::string DriveRoot(char chDrive = 'C');

// Maps a Windows path to the host file system as the platform calls do.
std::string MapPath(const std::string& sWindowsPath);

// Merges REGEDIT4 text into the registry ("[-key]" lines delete). Returns false
// and sets *psError ("<name>:<line>: <reason>") without changing anything on a
// parse error.
bool ImportReg(const std::string& sText, std::string* psError, const std::string& sName = "text");

// The same for an export as regedit writes it: REGEDIT4, or "Windows Registry
// Editor Version 5.00" in UTF-16LE with its byte order mark (turned into the
// ANSI code page).
bool ImportRegExport(const std::string& sBytes, std::string* psError,
                     const std::string& sName = "text");

// The whole registry (HKEY_LOCAL_MACHINE, then HKEY_CURRENT_USER) as REGEDIT4.
std::string ExportReg();

// Direct reads for assertions. Path includes the root, e.g.
// "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor". Letter case is ignored.
bool KeyExists(const std::string& sKeyPath);
bool GetValue(const std::string& sKeyPath, const std::string& sValueName, DWORD* pdwType,
              std::string* psBytes);

// The n-th (1-based) call from now of the named platform function fails with
// the given status (returned directly by registry calls, through SetLastError
// for the others). Names are the Win32 names ("RegOpenKeyExA", "EnumPortsA",
// ...) and "fopen", "_open", "_fdopen": FailableCalls() lists them all. A name
// not among them throws std::invalid_argument (so do OnCall and CallCount),
// rather than arm a fault that would never fire.
void FailCall(const std::string& sFunction, int nNth, DWORD dwStatus);
void ClearFaults();

// Runs fnAction just before the n-th (1-based) call from now of the named
// function, e.g. to change the printer list between two spooler calls.
void OnCall(const std::string& sFunction, int nNth, std::function<void()> fnAction);

// How many times the named function has been called since Reset.
int CallCount(const std::string& sFunction);

// Every name the calls above take: each platform function that can fail.
std::vector<std::string> FailableCalls();

// Registry key handles currently open (predefined roots do not count).
int OpenKeyCount();

// Every platform function called since Reset, with its number of calls.
std::map<std::string, int> CallCounts();

// The platform function called last since Reset ("" before the first call).
std::string LastCall();

// File handles, file searches and runtime streams (fopen) open now.
int OpenFileCount();

// Loaded libraries: LoadLibraryA calls not yet matched by a FreeLibrary.
int LoadedLibraryCount();

} // namespace winsim
