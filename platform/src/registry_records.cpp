// Persisting the registry of a machine folder: each change is appended to
// registry.reg as one REGEDIT4 record in one write, so the cost follows the
// change and a run that dies loses nothing it had written; the file is
// rewritten whole (new file, then rename) only when records are folded in.
#include "machine.h"

#include <winsim/registry_tree.h>
#include <winsim/regtext_read.h>
#include <winsim/regtext_write.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The stand-in's own files are host files: the real fopen, not the runtime's
// stand-in that windows.h puts in its place (it maps paths and counts calls).
#undef fopen

namespace winsim
{
namespace detail
{

namespace
{

const char kRegistryFile[] = "registry.reg";

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
    std::string sRecord = std::string("\n") + kRecordBegin + "\n" + sBody + kRecordEnd + "\n";
    if (!WriteAll(g_fdRecords, sRecord))
        fprintf(stderr, "winsim: cannot write %s: %s\n", sPath.c_str(), strerror(errno));
    g_fRecordsAppended = true;
}

// Reads registry.reg: its text, then the change records after it. A record
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
    return sTail.find(std::string("\n") + kRecordEnd + "\n") == std::string::npos &&
           sTail.compare(0, strlen(kRecordBegin) + 1, std::string(kRecordBegin) + "\n") == 0;
}
} // namespace

bool LoadRegistryFile(const std::string& sPath, Registry* pRegistry, std::string* psError)
{
    MachineFileSink sink(*pRegistry);
    std::string sError;
    bool fOk = ReadRegFile(sPath, RegTextRegedit4, &sink, &sError);
    bool fTorn = sink.m_fInRecord && (fOk || IsTornTail(sPath, sink.m_ullRecordStart));
    if (!fOk && !fTorn)
    {
        if (psError)
            *psError = sError;
        return false;
    }
    if (fTorn && truncate(sPath.c_str(), static_cast<off_t>(sink.m_ullRecordStart)) != 0)
        fprintf(stderr, "winsim: cannot cut the torn record off %s: %s\n", sPath.c_str(),
                strerror(errno));
    return true;
}

void RegistryChanged()
{
    Machine& machine = CurrentMachine();
    CloseRecords();
    g_fRecordsAppended = false;
    if (machine.sFolder.empty())
        return;
    std::string sPath = machine.sFolder + "/" + kRegistryFile;
    if (!WriteRegFile(machine.registry, sPath))
        fprintf(stderr, "winsim: cannot write %s: %s\n", sPath.c_str(), strerror(errno));
}

void FoldRecords()
{
    CloseRecords();
    if (!g_fRecordsAppended)
        return;
    g_fRecordsAppended = false;
    Machine& machine = CurrentMachine();
    if (machine.sFolder.empty())
        return;
    // A folder that went away (a test's temporary machine) has nothing to keep.
    std::string sPath = machine.sFolder + "/" + kRegistryFile;
    struct stat st;
    if (stat(sPath.c_str(), &st) != 0)
        return;
    if (!WriteRegFile(machine.registry, sPath))
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

} // namespace detail
} // namespace winsim
