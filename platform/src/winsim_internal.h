// Shared inside the host platform layer only: the machine state, the registry
// tree and the fault table that every stand-in call goes through.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace winsim
{
namespace detail
{

// ASCII letter case folded to lower case: this is the order in which Wine
// enumerates registry keys ("A_B" sorts before "AAB").
int CompareNoCase(std::string_view svLeft, std::string_view svRight);
bool EqualNoCase(std::string_view svLeft, std::string_view svRight);
struct NoCaseLess
{
    bool operator()(std::string_view sLeft, std::string_view sRight) const
    {
        return CompareNoCase(sLeft, sRight) < 0;
    }
};

// ---------------------------------------------------------------------------
// Registry tree
//
// Sized for a real machine's registry (hundreds of thousands of keys): each key
// keeps its subkeys and values in vectors sorted by name, so a lookup is a
// binary search, RegEnumKeyA by index is a direct access, and a value takes
// one allocation for its name and data together.

class RegValue
{
public:
    RegValue() = default;
    RegValue(std::string_view svName, DWORD dwTypeIn, std::string_view svBytes);
    RegValue(RegValue&&) noexcept = default;
    RegValue& operator=(RegValue&&) noexcept = default;

    std::string_view Name() const { return std::string_view(m_pch.get(), m_cchName); }
    std::string_view Bytes() const { return std::string_view(m_pch.get() + m_cchName, m_cbData); }
    // Keeps the name as first written; only the type and data change.
    void SetData(DWORD dwTypeIn, std::string_view svBytes);

    DWORD dwType = REG_NONE;

private:
    std::unique_ptr<char[]> m_pch;
    uint32_t m_cchName = 0;
    uint32_t m_cbData = 0;
};

// The longest entry of a key's list and how many entries have that size, so
// RegQueryInfoKeyA answers in constant time; only when the last of the longest
// goes does the next query count again.
struct SizeStat
{
    uint32_t nMax = 0;
    uint32_t nAtMax = 0;
    bool fStale = false;
    void Add(size_t n);
    void Remove(size_t n);
};

struct RegKey
{
    std::string sName;                              // as created; lookups ignore case
    RegKey* pParent = nullptr;                      // null for a root and for a key out of the tree
    std::vector<std::shared_ptr<RegKey>> vpSubkeys; // sorted, NoCaseLess
    std::vector<RegValue> vValues;                  // sorted by name, NoCaseLess
    FILETIME ftLastWrite = {0, 0};
    SizeStat statSubkeyName;
    SizeStat statValueName;
    SizeStat statValueData;
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
    // Whole-machine exports also carry these; the program never opens them.
    RootCurrentConfig = 4,
    RootDynData = 5,
    RootCount = 6
};

struct Registry
{
    std::shared_ptr<RegKey> apRoots[RootCount];
    Registry();
};

const char* RootName(int iRoot);
// Full names and the short forms (HKLM ...), any letter case; -1 if unknown.
int RootFromName(std::string_view svName);

// Splits a key path at backslashes, dropping empty components.
std::vector<std::string> SplitKeyPath(const std::string& sPath);

// The child's slot in its parent's list, or null.
const std::shared_ptr<RegKey>* FindChild(const RegKey& key, std::string_view svName);
RegValue* FindValue(RegKey& key, std::string_view svName);
const RegValue* FindValue(const RegKey& key, std::string_view svName);
// Finds or makes one child; *pfCreated tells which.
const std::shared_ptr<RegKey>& ChildFor(RegKey& key, std::string_view svName, bool* pfCreated,
                                        const FILETIME& ftNow);

std::shared_ptr<RegKey> FindSubkey(const std::shared_ptr<RegKey>& pFrom,
                                   const std::vector<std::string>& vsPath);
// Creates what is missing along the path; *pfCreated tells whether the last key is new.
std::shared_ptr<RegKey> CreateSubkey(const std::shared_ptr<RegKey>& pFrom,
                                     const std::vector<std::string>& vsPath, bool* pfCreated);
// Takes the child out of the tree and marks its whole subtree deleted.
void RemoveSubkey(RegKey& parent, std::string_view svName);
void SetValueBytes(RegKey& key, std::string_view svName, DWORD dwType, std::string_view svBytes);
bool DeleteValue(RegKey& key, std::string_view svName);
void TouchKey(RegKey& key);
FILETIME CurrentFileTime();
// The key's full path, root name first.
std::string KeyPath(const RegKey& key);
// Keys and values in the subtree below the key (the key itself not counted).
void CountSubtree(const RegKey& key, size_t* pnKeys, size_t* pnValues);

// Bumped whenever something along HKEY_CURRENT_USER\Software\Wine may have
// changed, so the machine's version is parsed again only then.
unsigned long long VersionEpoch();
void BumpVersionEpoch();

// Where the spooler keeps the machine's printers: ...\Control\Print\Printers
// of CurrentControlSet, or of the control set SYSTEM\Select "Current" names;
// null when there is none. *psPath (if given) is the key's path.
std::shared_ptr<RegKey> FindPrintersKey(const Registry& registry, std::string* psPath = nullptr);

// Finds a key by its full path ("HKEY_LOCAL_MACHINE\\Software\\..."); null if absent.
std::shared_ptr<RegKey> FindKeyByPath(const std::string& sFullPath);
std::shared_ptr<RegKey> FindKeyByPath(const Registry& registry, const std::string& sFullPath);

// ---------------------------------------------------------------------------
// Registry text: REGEDIT4, and regedit's version 5.00 (UTF-16LE) for the preview

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

// The comment lines around each change record appended to registry.reg.
inline constexpr char kRecordBegin[] = ";winsim:begin";
inline constexpr char kRecordEnd[] = ";winsim:end";

// What a reader hands on, item by item in file order, each as soon as its line
// is read. The views point into the reader's buffers: copy what must last.
class RegTextSink
{
public:
    virtual ~RegTextSink() = default;
    virtual void Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete) = 0;
    virtual void Value(std::string_view svName, DWORD dwType, std::string_view svBytes) = 0;
    virtual void RemoveValue(std::string_view svName) = 0;
    // The stand-in's change records in registry.reg: ";winsim:begin" and ";winsim:end".
    virtual void RecordMark(bool fEnd, unsigned long long ullOffset)
    {
        (void)fEnd;
        (void)ullOffset;
    }
};

enum RegTextFormat
{
    RegTextRegedit4 = 1,
    RegTextVersion5 = 2, // "Windows Registry Editor Version 5.00", UTF-16LE
};

// Appends one character as UTF-8 (surrogates too, as the readers meet them).
void AppendUtf8(unsigned int uChar, std::string* psOut);
// The character at *pi of cb bytes of UTF-16LE (a surrogate pair as one, an
// unpaired surrogate as itself); *pi moves past it. Needs *pi + 1 < cb.
unsigned int NextUtf16(const unsigned char* pb, size_t cb, size_t* pi);

// Text written elsewhere (the preview's inputs) may hold characters the
// machine's ANSI code page lacks: the reader hands each such name or string,
// as UTF-8, to a converter that decides what the program would see.
class RegTextConverter
{
public:
    virtual ~RegTextConverter() = default;
    // svUtf8: one key name, value name or string value (an unpaired UTF-16
    // surrogate in its three-byte form). False with *psReason refuses it.
    virtual bool ToAnsi(std::string_view svUtf8, size_t nLine, std::string* psOut,
                        std::string* psReason) = 0;
};

// Windows' own limits on what a registry holds.
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;

// Reads registry text handed over in pieces of any size. The first failure
// stops it: *psError is "<name>:<line>: <reason>".
class RegTextReader
{
public:
    RegTextReader(const std::string& sName, int fAllowedFormats, RegTextSink* pSink);
    ~RegTextReader();
    // Reads text as a real machine's regedit or an editor may have saved it,
    // before the first Feed: UTF-16 of either byte order with or without its
    // byte order mark, UTF-8 with or without one (told from Windows-1252 by
    // its first line that is not ASCII), CR, LF or CR LF line ends; Unicode
    // text goes through the converter; names beyond Windows' limits or with a
    // line break or NUL in them are refused.
    void ReadForeign(RegTextConverter* pConverter);
    // How the text was encoded, once the header is read ("UTF-16LE", "UTF-8
    // with byte order mark", "Windows-1252" ...), and its line ends.
    std::string EncodingName() const;
    bool Feed(const char* pch, size_t cb);
    bool Finish();
    const std::string& Error() const;
    int Format() const; // RegTextRegedit4 or RegTextVersion5 once the header is read
    size_t Line() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// Reads a whole file through the reader, in blocks; false with *psError when
// the file cannot be read or the text is bad.
bool ReadRegFile(const std::string& sPath, int fAllowedFormats, RegTextSink* pSink,
                 std::string* psError, int* pnFormat = nullptr);

// Applies items straight to a registry.
class RegTreeSink : public RegTextSink
{
public:
    explicit RegTreeSink(Registry& registry);
    void Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete) override;
    void Value(std::string_view svName, DWORD dwType, std::string_view svBytes) override;
    void RemoveValue(std::string_view svName) override;

protected:
    Registry& m_registry;
    std::vector<RegKey*> m_vpPath; // the last key line's keys, reused by the next one
    RegKey* m_pKey = nullptr;
    FILETIME m_ftNow;
};

// Collects items as edits.
class RegEditSink : public RegTextSink
{
public:
    void Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete) override;
    void Value(std::string_view svName, DWORD dwType, std::string_view svBytes) override;
    void RemoveValue(std::string_view svName) override;
    std::vector<RegEdit> vEdits;

private:
    int m_iRoot = RootLocalMachine;
    std::vector<std::string> m_vsPath;
};

// Parses the whole text before anything is applied, so a bad file changes nothing.
bool ParseRegText(const std::string& sText, const std::string& sName, std::vector<RegEdit>* pEdits,
                  std::string* psError);
void ApplyRegEdits(Registry& registry, const std::vector<RegEdit>& vEdits);
std::string FormatRegText(const Registry& registry);
// Writes the registry as REGEDIT4 (then sExtra) to a new file that replaces
// sPath once complete, in blocks rather than as one string.
bool WriteRegFile(const Registry& registry, const std::string& sPath,
                  const std::string& sExtra = std::string());
// One value line ("name"=data) with its newline, as the writer puts it.
void FormatValueLine(std::string_view svName, DWORD dwType, std::string_view svBytes,
                     std::string* psOut);

// Windows-1252, the ANSI code page of the machines the program meets.
// Returns false for a character with no ANSI form.
bool AnsiFromUnicode(unsigned int uChar, char* pch);
// UTF-16LE text (an odd last byte ignored) in Windows-1252; false with the
// first character that has no ANSI form in *puBad.
bool AnsiFromUtf16(std::string_view svUtf16, std::string* psOut, unsigned int* puBad);
// "U+20AC"
std::string CodePointName(unsigned int uChar);

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

// The host main's machine step: loads WINSIM_MACHINE if it names one. Returns 0,
// or 2 with a one-line message for stderr in *psMessage.
int PrepareHostMachine(const char* pszMachine, std::string* psMessage);

// The machine's Windows and system directories, as GetWindowsDirectoryA and
// GetSystemDirectoryA report them: C:\WINDOWS and C:\WINDOWS\SYSTEM32, what
// Wine reports for every version, unless the machine's registry names others
// under HKEY_LOCAL_MACHINE\Software\Winsim ("WindowsDirectory",
// "SystemDirectory"). Only the preview sets them, to show a real machine's own
// folders; Wine has no such setting, so scenarios never use it.
extern const char kFoldersKey[];
std::string WindowsDirectory();
std::string SystemDirectory();

// ---------------------------------------------------------------------------
// The fault gate and the thread's last error: fault_gate.h. The sharing table:
// file_sharing.h. The C runtime's files: crt_streams.h.
void ResetKernelObjects();
void ResetRegistryHandles();
void ResetLoader();

FILETIME FileTimeFromUnix(long long llSeconds, long lNanoseconds);
DWORD ErrorFromErrno(int nErrno);

// The platform's state outlives every static destructor of the program (they
// may still reach the platform after main returns) and is released only after
// them, as the process finishes, so a leak checker finds nothing left.
void ReleaseAtExit(void (*pfnRelease)(void*), void* pvState);

template <typename T> T* KeptUntilExit(T* pState)
{
    ReleaseAtExit([](void* pvState) { delete static_cast<T*>(pvState); }, pState);
    return pState;
}

} // namespace detail
} // namespace winsim
