// Shared inside the host platform layer only: the machine state, the registry
// tree and the fault table that every stand-in call goes through.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace winsim
{
namespace detail
{

// ASCII letter case folded to lower case: this is the order in which Wine
// enumerates registry keys ("A_B" sorts before "AAB").
int CompareNoCase(const std::string& sLeft, const std::string& sRight);
bool EqualNoCase(const std::string& sLeft, const std::string& sRight);
struct NoCaseLess
{
    bool operator()(const std::string& sLeft, const std::string& sRight) const
    {
        return CompareNoCase(sLeft, sRight) < 0;
    }
};

// ---------------------------------------------------------------------------
// Registry tree

struct RegValue
{
    std::string sName; // as first written; lookups ignore case
    DWORD dwType = REG_NONE;
    std::string sBytes;
};

struct RegKey
{
    std::string sName; // as created; lookups ignore case
    std::weak_ptr<RegKey> pParent;
    std::map<std::string, std::shared_ptr<RegKey>, NoCaseLess> mapSubkeys;
    std::map<std::string, RegValue, NoCaseLess> mapValues;
    FILETIME ftLastWrite = {0, 0};
    // Set when the key leaves the tree; open handles keep the node alive and
    // answer ERROR_KEY_DELETED from then on.
    bool fDeleted = false;
};

enum RootIndex
{
    RootClassesRoot = 0,
    RootCurrentUser = 1,
    RootLocalMachine = 2,
    RootUsers = 3,
    RootCount = 4
};

struct Registry
{
    std::shared_ptr<RegKey> apRoots[RootCount];
    Registry();
};

const char* RootName(int iRoot);
// Full names and the short forms (HKLM ...), any letter case; -1 if unknown.
int RootFromName(const std::string& sName);

// Splits a key path at backslashes, dropping empty components.
std::vector<std::string> SplitKeyPath(const std::string& sPath);

std::shared_ptr<RegKey> FindSubkey(const std::shared_ptr<RegKey>& pFrom,
                                   const std::vector<std::string>& vsPath);
// Creates what is missing along the path; *pfCreated tells whether the last key is new.
std::shared_ptr<RegKey> CreateSubkey(const std::shared_ptr<RegKey>& pFrom,
                                     const std::vector<std::string>& vsPath, bool* pfCreated);
// Takes the child out of the tree and marks its whole subtree deleted.
void RemoveSubkey(const std::shared_ptr<RegKey>& pParent, const std::string& sName);
void MarkDeleted(const std::shared_ptr<RegKey>& pKey);
void SetValueBytes(RegKey& key, const std::string& sName, DWORD dwType, const std::string& sBytes);
void TouchKey(RegKey& key);

// Finds a key by its full path ("HKEY_LOCAL_MACHINE\\Software\\..."); null if absent.
std::shared_ptr<RegKey> FindKeyByPath(const std::string& sFullPath);

// ---------------------------------------------------------------------------
// REGEDIT4 text

struct RegEdit
{
    enum Kind
    {
        CreateKey,
        DeleteKey,
        SetValue,
        DeleteValue
    } eKind = CreateKey;
    int iRoot = RootLocalMachine;
    std::vector<std::string> vsPath;
    std::string sValueName;
    DWORD dwType = REG_NONE;
    std::string sBytes;
};

// Parses the whole text before anything is applied, so a bad file changes nothing.
bool ParseRegText(const std::string& sText, const std::string& sName, std::vector<RegEdit>* pEdits,
                  std::string* psError);
void ApplyRegEdits(Registry& registry, const std::vector<RegEdit>& vEdits);
std::string FormatRegText(const Registry& registry);

// ---------------------------------------------------------------------------
// The machine

struct Machine
{
    bool fReady = false;
    std::string sFolder;     // machine folder; empty for the in-memory machine
    std::string sTempFolder; // private folder behind the in-memory machine's drives
    Registry registry;
};

// The current machine, loaded from WINSIM_MACHINE on first use.
Machine& CurrentMachine();
// Writes registry.reg back (new file, then rename) when a machine folder is in use.
void RegistryChanged();
// Host folder standing for a drive; created only when fCreate is set.
std::string DriveFolder(char chDrive, bool fCreate);
// The Windows version the machine claims, from HKCU\Software\Wine "Version".
struct VersionInfo
{
    DWORD dwMajor;
    DWORD dwMinor;
    DWORD dwBuild;
    DWORD dwPlatform;
    const char* pszCSD;
    unsigned short wServicePackMajor;
    unsigned short wSuiteMask;
    BYTE bProductType;
};
const VersionInfo& MachineVersion();
bool IsNtPlatform();

// The host main's machine step: loads WINSIM_MACHINE if it names one. Returns 0,
// or 2 with a one-line message for stderr in *psMessage.
int PrepareHostMachine(const char* pszMachine, std::string* psMessage);

// ---------------------------------------------------------------------------
// Fault table: counts the call, runs a hook due now, and tells whether the call
// must fail (with the status in *pdwStatus).
bool CallFails(const char* pszFunction, DWORD* pdwStatus);
void ResetFaults();

// ---------------------------------------------------------------------------
// Kernel objects that the file calls share (open files, for the sharing rules).
void ResetKernelObjects();
void ResetRegistryHandles();
void ResetLoader();

// Windows' sharing check against files this process holds open; the stand-in
// fopen registers its streams here too.
// Files are told apart by device and inode number.
struct FileId
{
    unsigned long long ullDevice;
    unsigned long long ullInode;
};
bool ShareAllows(const FileId& id, DWORD dwAccess, DWORD dwShare);
int RegisterOpenFile(const FileId& id, DWORD dwAccess, DWORD dwShare);
void UnregisterOpenFile(int iOpen);
// Runtime streams (winsim_fopen) not yet closed.
int OpenStreamCount();

// The thread's last error, set without counting as a call of SetLastError.
void SetLastErrorValue(DWORD dwError);

FILETIME FileTimeFromUnix(long long llSeconds, long lNanoseconds);
DWORD ErrorFromErrno(int nErrno);

} // namespace detail
} // namespace winsim
