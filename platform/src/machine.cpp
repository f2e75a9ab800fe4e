// The machine behind the stand-in calls: a folder with registry.reg and
// drive_c/, or an empty machine that lives in memory and a private temp folder.
#include "winsim_internal.h"

#include <winsim.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winsim
{
namespace detail
{

namespace
{

// Never destroyed: the program's own static destructors may still log (and so
// reach the platform) after main returns.
Machine& TheMachine()
{
    static Machine* pMachine = new Machine;
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

const char kRecordBegin[] = ";winsim:begin\n";
const char kRecordEnd[] = ";winsim:end\n";

// registry.reg open for appending change records; -1 when closed.
int g_fdRecords = -1;
bool g_fRecordsAppended = false;

void CloseRecords()
{
    if (g_fdRecords >= 0)
        close(g_fdRecords);
    g_fdRecords = -1;
}

void FoldAtExit()
{
    const char* pszKeep = getenv("WINSIM_KEEP_RECORDS");
    if (pszKeep && *pszKeep && strcmp(pszKeep, "0") != 0)
    {
        CloseRecords();
        return;
    }
    FoldRecords();
}

bool WriteAll(int fd, const std::string& sText)
{
    size_t cbDone = 0;
    while (cbDone < sText.size())
    {
        ssize_t cb = write(fd, sText.data() + cbDone, sText.size() - cbDone);
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb <= 0)
            return false;
        cbDone += static_cast<size_t>(cb);
    }
    return true;
}

// One change record, written with one call so that a run killed at any point
// leaves either the whole record or a torn tail the next load drops.
void AppendRecord(const std::string& sBody)
{
    Machine& machine = CurrentMachine();
    if (machine.sFolder.empty())
        return;
    std::string sPath = machine.sFolder + "/" + kRegistryFile;
    if (g_fdRecords < 0)
    {
        g_fdRecords = open(sPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (g_fdRecords < 0)
        {
            fprintf(stderr, "winsim: cannot write %s: %s\n", sPath.c_str(), strerror(errno));
            return;
        }
        struct stat st;
        if (fstat(g_fdRecords, &st) == 0 && st.st_size == 0)
            WriteAll(g_fdRecords, "REGEDIT4\n");
        static bool s_fAtExit = false;
        if (!s_fAtExit)
        {
            atexit(FoldAtExit);
            s_fAtExit = true;
        }
    }
    std::string sRecord = std::string("\n") + kRecordBegin + sBody + kRecordEnd;
    if (!WriteAll(g_fdRecords, sRecord))
        fprintf(stderr, "winsim: cannot write %s: %s\n", sPath.c_str(), strerror(errno));
    g_fRecordsAppended = true;
}

// Loads registry.reg: its text, then the change records after it. A record
// is applied only once its end line has been read, so a torn last record
// (the run died while writing it) is left out, and cut off the file.
class MachineFileSink : public RegTreeSink
{
public:
    explicit MachineFileSink(Registry& registry) : RegTreeSink(registry) {}

    void Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete) override
    {
        if (m_fInRecord)
            m_record.Key(iRoot, vsvPath, fDelete);
        else
            RegTreeSink::Key(iRoot, vsvPath, fDelete);
    }
    void Value(std::string_view svName, DWORD dwType, std::string_view svBytes) override
    {
        if (m_fInRecord)
            m_record.Value(svName, dwType, svBytes);
        else if (m_pKey)
            RegTreeSink::Value(svName, dwType, svBytes);
    }
    void RemoveValue(std::string_view svName) override
    {
        if (m_fInRecord)
            m_record.RemoveValue(svName);
        else if (m_pKey)
            RegTreeSink::RemoveValue(svName);
    }
    void RecordMark(bool fEnd, unsigned long long ullOffset) override
    {
        if (!fEnd)
        {
            m_fInRecord = true;
            m_ullRecordStart = ullOffset;
            m_record.vEdits.clear();
            return;
        }
        if (m_fInRecord)
            ApplyRegEdits(m_registry, m_record.vEdits);
        m_record.vEdits.clear();
        m_fInRecord = false;
        m_vpPath.clear();
        m_pKey = nullptr;
    }

    bool m_fInRecord = false;
    unsigned long long m_ullRecordStart = 0;

private:
    RegEditSink m_record;
};

// Whether the file from the offset on holds no complete record: then it is
// the torn tail of a run that died.
bool IsTornTail(const std::string& sPath, unsigned long long ullOffset)
{
    FILE* pFile = ::fopen(sPath.c_str(), "rb");
    if (!pFile)
        return false;
    std::string sTail;
    if (fseeko(pFile, static_cast<off_t>(ullOffset), SEEK_SET) == 0)
    {
        char achBlock[65536];
        size_t cb = 0;
        while ((cb = fread(achBlock, 1, sizeof achBlock, pFile)) > 0)
            sTail.append(achBlock, cb);
    }
    fclose(pFile);
    return sTail.find(std::string("\n") + kRecordEnd) == std::string::npos &&
           sTail.compare(0, strlen(kRecordBegin), kRecordBegin) == 0;
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

bool WriteFileAtomically(const std::string& sPath, const std::string& sText)
{
    std::string sTemp = sPath + ".tmp";
    FILE* pFile = ::fopen(sTemp.c_str(), "wb");
    if (!pFile)
        return false;
    bool fOk = fwrite(sText.data(), 1, sText.size(), pFile) == sText.size();
    fOk = (fclose(pFile) == 0) && fOk;
    if (fOk)
        fOk = rename(sTemp.c_str(), sPath.c_str()) == 0;
    if (!fOk)
        remove(sTemp.c_str());
    return fOk;
}

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
        MachineFileSink sink(registry);
        std::string sError;
        bool fOk = ReadRegFile(sRegistryPath, RegTextRegedit4, &sink, &sError);
        bool fTorn = sink.m_fInRecord && (fOk || IsTornTail(sRegistryPath, sink.m_ullRecordStart));
        if (!fOk && !fTorn)
        {
            if (psError)
                *psError = sError;
            return false;
        }
        if (fTorn &&
            truncate(sRegistryPath.c_str(), static_cast<off_t>(sink.m_ullRecordStart)) != 0)
            fprintf(stderr, "winsim: cannot cut the torn record off %s: %s\n",
                    sRegistryPath.c_str(), strerror(errno));
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

void RegistryChanged()
{
    Machine& machine = CurrentMachine();
    CloseRecords();
    g_fRecordsAppended = false;
    if (machine.sFolder.empty())
        return;
    std::string sPath = machine.sFolder + "/" + kRegistryFile;
    if (!WriteFileAtomically(sPath, FormatRegText(machine.registry)))
        fprintf(stderr, "winsim: cannot write %s: %s\n", sPath.c_str(), strerror(errno));
}

void FoldRecords()
{
    CloseRecords();
    if (!g_fRecordsAppended)
        return;
    g_fRecordsAppended = false;
    Machine& machine = TheMachine();
    if (machine.sFolder.empty())
        return;
    // A folder that went away (a test's temporary machine) has nothing to keep.
    std::string sPath = machine.sFolder + "/" + kRegistryFile;
    struct stat st;
    if (stat(sPath.c_str(), &st) != 0)
        return;
    if (!WriteFileAtomically(sPath, FormatRegText(machine.registry)))
        fprintf(stderr, "winsim: cannot write %s: %s\n", sPath.c_str(), strerror(errno));
}

void RecordKeyCreated(const RegKey& key)
{
    AppendRecord("[" + KeyPath(key) + "]\n");
}

void RecordKeyDeleted(const std::string& sPath)
{
    AppendRecord("[-" + sPath + "]\n");
}

void RecordValueSet(const RegKey& key, const RegValue& value)
{
    std::string sBody = "[" + KeyPath(key) + "]\n";
    FormatValueLine(value.Name(), value.dwType, value.Bytes(), &sBody);
    AppendRecord(sBody);
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
    }
    return *s_pVersion;
}

bool IsNtPlatform()
{
    return MachineVersion().dwPlatform == VER_PLATFORM_WIN32_NT;
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
