// The machine behind the stand-in calls: a folder with registry.reg and
// drive_c/, or an empty machine that lives in memory and a private temp folder.
#include "fault_gate.h"
#include "machine.h"
#include "kernel_objects.h"

#include <winsim/registry_tree.h>
#include <winsim/machine_folder.h>

#include <winsim.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <sys/stat.h>

namespace winsim
{
namespace detail
{

namespace
{

struct LastingState
{
    void (*pfnRelease)(void*);
    void* pvState;
};

// Plain static storage: nothing here has a destructor of its own.
LastingState g_atLasting[16];
int g_nLasting = 0;

// An ELF finaliser of the executable runs after every C++ static destructor
// and every atexit handler.
__attribute__((destructor)) void ReleaseLastingState()
{
    while (g_nLasting > 0)
    {
        --g_nLasting;
        g_atLasting[g_nLasting].pfnRelease(g_atLasting[g_nLasting].pvState);
    }
}

// Outlives the program's own static destructors: they may still log (and so
// reach the platform) after main returns.
Machine& TheMachine()
{
    static Machine* pMachine = KeptUntilExit(new Machine);
    return *pMachine;
}

const char kRegistryFile[] = "registry.reg";

void RemoveTempFolder()
{
    Machine& machine = TheMachine();
    if (machine.sTempFolder.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(machine.sTempFolder, ec);
    machine.sTempFolder.clear();
}

void RemoveTempFolderAtExit()
{
    RemoveTempFolder();
}

bool IsDirectory(const std::string& sPath)
{
    struct stat st;
    return stat(sPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Drops everything of the previous machine that outlives it in this process,
// after saving what it still owes its folder.
void ForgetMachineState()
{
    FoldRecords();
    ResetRegistryHandles();
    RemoveTempFolder();
}

const VersionInfo kWinXp = {5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 3", 3, 0x100, 1};

struct NamedVersion
{
    const char* pszName;
    VersionInfo info;
};

// What Wine reports for each of its version names. The 9x family keeps the
// version in the high word of the build number. Windows 8.1 and 10 report 6.2
// to a program without a compatibility manifest, which ours is.
const NamedVersion g_aVersions[] = {
    {"win31", {3, 10, 0, VER_PLATFORM_WIN32s, "Win32s 1.3", 0, 0, 0}},
    {"win95", {4, 0, 0x040003B6, VER_PLATFORM_WIN32_WINDOWS, "", 0, 0, 0}},
    {"win98", {4, 10, 0x040A08AE, VER_PLATFORM_WIN32_WINDOWS, " A ", 0, 0, 0}},
    {"winme", {4, 90, 0x045A0BB8, VER_PLATFORM_WIN32_WINDOWS, " ", 0, 0, 0}},
    {"nt351", {3, 51, 1057, VER_PLATFORM_WIN32_NT, "Service Pack 5", 5, 0, 1}},
    {"nt40", {4, 0, 1381, VER_PLATFORM_WIN32_NT, "Service Pack 6a", 6, 0, 1}},
    {"win2k", {5, 0, 2195, VER_PLATFORM_WIN32_NT, "Service Pack 4", 4, 0, 1}},
    {"winxp", kWinXp},
    {"win2003", {5, 2, 3790, VER_PLATFORM_WIN32_NT, "Service Pack 2", 2, 0x100, 3}},
    {"vista", {6, 0, 6002, VER_PLATFORM_WIN32_NT, "Service Pack 2", 2, 0x100, 1}},
    {"win2008", {6, 0, 6002, VER_PLATFORM_WIN32_NT, "Service Pack 2", 2, 0x100, 3}},
    {"win7", {6, 1, 7601, VER_PLATFORM_WIN32_NT, "Service Pack 1", 1, 0x100, 1}},
    {"win2008r2", {6, 1, 7601, VER_PLATFORM_WIN32_NT, "Service Pack 1", 1, 0x100, 3}},
    {"win8", {6, 2, 9200, VER_PLATFORM_WIN32_NT, "", 0, 0x100, 1}},
    {"win81", {6, 2, 9200, VER_PLATFORM_WIN32_NT, "", 0, 0x100, 1}},
    {"win10", {6, 2, 9200, VER_PLATFORM_WIN32_NT, "", 0, 0x100, 1}},
};

bool LoadMachineFolder(const std::string& sFolder, std::string* psError)
{
    if (!IsDirectory(sFolder))
    {
        if (psError)
            *psError = sFolder + ": the machine folder does not exist";
        return false;
    }
    std::string sRegistryPath = sFolder + "/" + kRegistryFile;
    Registry registry;
    struct stat st;
    if (stat(sRegistryPath.c_str(), &st) == 0)
    {
        if (!LoadRegistryFile(sRegistryPath, &registry, psError))
            return false;
    }
    ForgetMachineState();
    BumpVersionEpoch();
    Machine& machine = TheMachine();
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(sFolder, ec);
    machine.sFolder = ec ? sFolder : absolute.lexically_normal().string();
    while (machine.sFolder.size() > 1 && machine.sFolder.back() == '/')
        machine.sFolder.pop_back();
    machine.registry = std::move(registry);
    machine.fReady = true;
    return true;
}

void UseEmptyMachine()
{
    ForgetMachineState();
    Machine& machine = TheMachine();
    machine.sFolder.clear();
    machine.registry = Registry();
    machine.fReady = true;
    BumpVersionEpoch();
}

} // namespace

void ReleaseAtExit(void (*pfnRelease)(void*), void* pvState)
{
    // A handful of singletons, each registered once.
    if (g_nLasting < static_cast<int>(sizeof g_atLasting / sizeof g_atLasting[0]))
        g_atLasting[g_nLasting++] = LastingState{pfnRelease, pvState};
}

Machine& CurrentMachine()
{
    Machine& machine = TheMachine();
    if (!machine.fReady)
    {
        machine.fReady = true;
        const char* pszFolder = getenv("WINSIM_MACHINE");
        std::string sError;
        if (pszFolder && *pszFolder && !LoadMachineFolder(pszFolder, &sError))
            fprintf(stderr, "winsim: %s; running on an empty machine\n", sError.c_str());
    }
    return machine;
}

std::string DriveFolder(char chDrive, bool fCreate)
{
    Machine& machine = CurrentMachine();
    char chLetter =
        static_cast<char>((chDrive >= 'A' && chDrive <= 'Z') ? chDrive - 'A' + 'a' : chDrive);
    std::string sDrive = std::string("drive_") + chLetter;
    if (!machine.sFolder.empty())
    {
        std::string sPath = machine.sFolder + "/" + sDrive;
        if (fCreate)
            mkdir(sPath.c_str(), 0777);
        return sPath;
    }
    // The in-memory machine's drives live in a private folder that is made on
    // first need, with the Windows folders every machine has, and removed at exit.
    if (machine.sTempFolder.empty())
    {
        const char* pszBase = getenv("TMPDIR");
        std::string sTemplate =
            std::string(pszBase && *pszBase ? pszBase : "/tmp") + "/winsim-XXXXXX";
        std::vector<char> vchTemplate(sTemplate.begin(), sTemplate.end());
        vchTemplate.push_back('\0');
        if (mkdtemp(vchTemplate.data()))
        {
            machine.sTempFolder = vchTemplate.data();
            std::error_code ec;
            std::filesystem::create_directories(machine.sTempFolder + "/drive_c/windows/system32",
                                                ec);
            static bool fAtExit = false;
            if (!fAtExit)
            {
                atexit(RemoveTempFolderAtExit);
                fAtExit = true;
            }
        }
        else
            machine.sTempFolder = sTemplate.substr(0, sTemplate.size() - 7) + "-unavailable";
    }
    std::string sPath = machine.sTempFolder + "/" + sDrive;
    if (fCreate)
        mkdir(sPath.c_str(), 0777);
    return sPath;
}

namespace
{

const VersionInfo& ReadMachineVersion()
{
    std::shared_ptr<RegKey> pKey = FindKeyByPath("HKEY_CURRENT_USER\\Software\\Wine");
    if (!pKey)
        return kWinXp;
    const RegValue* pValue = FindValue(*pKey, "Version");
    if (!pValue || pValue->dwType != REG_SZ)
        return kWinXp;
    std::string_view svBytes = pValue->Bytes();
    std::string_view sName = svBytes.substr(0, svBytes.find('\0'));
    // Wine compares the names exactly: "Win98" is not a version name.
    for (const NamedVersion& version : g_aVersions)
    {
        if (sName == version.pszName)
            return version.info;
    }
    return kWinXp;
}

} // namespace

// Every registry call asks for the version (the access checks differ), so it is
// parsed again only after something on its path changed.
const VersionInfo& MachineVersion()
{
    static unsigned long long s_ullEpoch = 0;
    static const VersionInfo* s_pVersion = &kWinXp;
    CurrentMachine();
    if (s_ullEpoch != VersionEpoch())
    {
        s_pVersion = &ReadMachineVersion();
        s_ullEpoch = VersionEpoch();
        // The family decides the order RegEnumKeyA hands out subkeys in.
        Registry& registry = TheMachine().registry;
        bool fAnsiOrder = s_pVersion->dwPlatform != VER_PLATFORM_WIN32_NT;
        if (registry.apRoots[0]->fAnsiOrder != fAnsiOrder)
            SetSubkeyOrder(registry, fAnsiOrder);
    }
    return *s_pVersion;
}

bool IsNtPlatform()
{
    return MachineVersion().dwPlatform == VER_PLATFORM_WIN32_NT;
}

const char kFoldersKey[] = "HKEY_LOCAL_MACHINE\\Software\\Winsim";

namespace
{

// A folder setting is taken only as a whole path on a drive ("X:\\..."),
// short enough for a MAX_PATH buffer with a file name after it.
std::string FolderSetting(const char* pszName, const char* pszDefault)
{
    std::shared_ptr<RegKey> pKey = FindKeyByPath(kFoldersKey);
    const RegValue* pValue = pKey ? FindValue(*pKey, pszName) : nullptr;
    if (!pValue || pValue->dwType != REG_SZ)
        return pszDefault;
    std::string_view svBytes = pValue->Bytes();
    std::string sFolder(svBytes.substr(0, svBytes.find('\0')));
    bool fDrivePath = sFolder.size() >= 3 && sFolder.size() < 200 && sFolder[1] == ':' &&
                      sFolder[2] == '\\' && isalpha(static_cast<unsigned char>(sFolder[0]));
    while (fDrivePath && sFolder.size() > 3 && sFolder.back() == '\\')
        sFolder.pop_back();
    return fDrivePath ? sFolder : pszDefault;
}

} // namespace

std::string WindowsDirectory()
{
    return FolderSetting("WindowsDirectory", "C:\\WINDOWS");
}

std::string SystemDirectory()
{
    return FolderSetting("SystemDirectory", "C:\\WINDOWS\\SYSTEM32");
}

int PrepareHostMachine(const char* pszMachine, std::string* psMessage)
{
    if (!pszMachine || !*pszMachine)
    {
        UseEmptyMachine();
        return 0;
    }
    std::string sError;
    if (!LoadMachineFolder(pszMachine, &sError))
    {
        if (psMessage)
            *psMessage = "winsim: cannot load the machine: " + sError;
        return 2;
    }
    return 0;
}

} // namespace detail

void Reset()
{
    detail::ResetFaults();
    detail::ResetKernelObjects();
    detail::ResetLoader();
    detail::UseEmptyMachine();
    detail::SetLastErrorValue(0);
}

bool LoadMachine(const std::string& sFolder, std::string* psError)
{
    return detail::LoadMachineFolder(sFolder, psError);
}

std::string DriveRoot(char chDrive)
{
    return detail::DriveFolder(chDrive, true);
}

} // namespace winsim
