// The stand-in's machine: the registry the calls work on, its folder and the
// records of each change, the Windows version it claims. Private to the stand-in.
#pragma once

#include <winsim/machine_folder.h>
#include <winsim/registry_tree.h>

#include <memory>
#include <string>

namespace winsim
{
namespace detail
{

struct Machine
{
    bool fReady = false;
    std::string sFolder;     // machine folder; empty for the in-memory machine
    std::string sTempFolder; // private folder behind the in-memory machine's drives
    Registry registry;
};

// The current machine, loaded from WINSIM_MACHINE on first use.
Machine& CurrentMachine();
// Persisting changes when a machine folder is in use. Each change is appended to
// registry.reg as one REGEDIT4 record between ";winsim:begin" and ";winsim:end"
// lines, in one write, so its cost follows the change and a run that dies
// loses nothing it had written; a torn last record is dropped at the next
// load. The file is rewritten whole (new file, then rename) when the run
// ends, when another machine is loaded, and after a bulk import.
void RecordKeyCreated(const RegKey& key);
void RecordKeyDeleted(const std::string& sPath);
void RecordValueSet(const RegKey& key, const RegValue& value);
void RegistryChanged();
// Rewrites registry.reg from the registry when records were appended.
void FoldRecords();
// Reads a machine's registry.reg into a fresh registry, records included; a
// torn last record is left out and cut off the file.
bool LoadRegistryFile(const std::string& sPath, Registry* pRegistry, std::string* psError);
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

// Bumped whenever something along HKEY_CURRENT_USER\Software\Wine may have
// changed, so the machine's version is parsed again only then.
unsigned long long VersionEpoch();
void BumpVersionEpoch();

// Finds a key of the current machine by its full path
// ("HKEY_LOCAL_MACHINE\\Software\\..."); null if absent.
std::shared_ptr<RegKey> FindKeyByPath(const std::string& sFullPath);

// The machine's Windows and system directories, as GetWindowsDirectoryA and
// GetSystemDirectoryA report them: C:\WINDOWS and C:\WINDOWS\SYSTEM32, what
// Wine reports for every version, unless the machine's registry names others
// under HKEY_LOCAL_MACHINE\Software\Winsim ("WindowsDirectory",
// "SystemDirectory"). Only the preview sets them, to show a real machine's own
// folders; Wine has no such setting, so scenarios never use it.
std::string WindowsDirectory();
std::string SystemDirectory();

} // namespace detail
} // namespace winsim
