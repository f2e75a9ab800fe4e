// The registry tree the stand-in keeps in memory, and the lookups on it.
//
// Sized for a real machine's registry (hundreds of thousands of keys): each key
// keeps its subkeys and values in vectors sorted by name, so a lookup is a
// binary search, RegEnumKeyA by index is a direct access, and a value takes
// one allocation for its name and data together.
#pragma once

#include <windows.h>

#include <cstdint>
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
    // How vpSubkeys is sorted, which is the order RegEnumKeyA hands them out
    // in: false as NT keeps them (the UTF-16 units of the names the machine
    // stores, in lower case), true as 9x does (the ANSI names, ASCII letters
    // folded). See SetSubkeyOrder.
    bool fAnsiOrder = false;
    // The machine stores the name in Unicode, and sName (what the A calls
    // see) is a lossy conversion of it: the original is kept aside (see
    // OriginalName), so names that convert exactly cost nothing more.
    bool fHasOriginal = false;
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey();
};

// The name as the machine stores it, in UTF-8; empty when it is sName.
std::string_view OriginalName(const RegKey& key);
// An A call's name, or the A form of a Unicode name with the original
// (UTF-8; empty when the same), compared as the key's list is sorted.
int CompareSubkeyName(const RegKey& parent, const RegKey& child, std::string_view svName,
                      std::string_view svOriginal = std::string_view());
// A UTF-16 unit in lower case, as Windows' case table has it.
unsigned int LowerUnit(unsigned int uUnit);

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

// Sorts every key's subkeys of the registry in the family's order (keys
// that become equal merge, as they would on import there).
void SetSubkeyOrder(Registry& registry, bool fAnsiOrder);

const char* RootName(int iRoot);
// Full names and the short forms (HKLM ...), any letter case; -1 if unknown.
int RootFromName(std::string_view svName);

// Splits a key path at backslashes, dropping empty components.
std::vector<std::string> SplitKeyPath(const std::string& sPath);

// The child's slot in its parent's list, or null.
const std::shared_ptr<RegKey>* FindChild(const RegKey& key, std::string_view svName,
                                         std::string_view svOriginal = std::string_view());
RegValue* FindValue(RegKey& key, std::string_view svName);
const RegValue* FindValue(const RegKey& key, std::string_view svName);
// Finds or makes one child; *pfCreated tells which. svOriginal: the name the
// machine stores in Unicode (UTF-8), where svName converts it lossily.
const std::shared_ptr<RegKey>& ChildFor(RegKey& key, std::string_view svName, bool* pfCreated,
                                        const FILETIME& ftNow,
                                        std::string_view svOriginal = std::string_view());

std::shared_ptr<RegKey> FindSubkey(const std::shared_ptr<RegKey>& pFrom,
                                   const std::vector<std::string>& vsPath);
// Creates what is missing along the path; *pfCreated tells whether the last key is new.
std::shared_ptr<RegKey> CreateSubkey(const std::shared_ptr<RegKey>& pFrom,
                                     const std::vector<std::string>& vsPath, bool* pfCreated);
// Takes the child out of the tree and marks its whole subtree deleted.
void RemoveSubkey(RegKey& parent, std::string_view svName);
void RemoveSubkey(RegKey& parent, const RegKey& child);
void SetValueBytes(RegKey& key, std::string_view svName, DWORD dwType, std::string_view svBytes);
bool DeleteValue(RegKey& key, std::string_view svName);
void TouchKey(RegKey& key);
FILETIME CurrentFileTime();
// The key's full path, root name first.
std::string KeyPath(const RegKey& key);
// Keys and values in the subtree below the key (the key itself not counted).
void CountSubtree(const RegKey& key, size_t* pnKeys, size_t* pnValues);

// Where the spooler keeps the machine's printers: ...\Control\Print\Printers
// of CurrentControlSet, or of the control set SYSTEM\Select "Current" names;
// null when there is none. *psPath (if given) is the key's path.
std::shared_ptr<RegKey> FindPrintersKey(const Registry& registry, std::string* psPath = nullptr);

// Finds a key by its full path ("HKEY_LOCAL_MACHINE\\Software\\..."); null if absent.
std::shared_ptr<RegKey> FindKeyByPath(const Registry& registry, const std::string& sFullPath);

} // namespace detail
} // namespace winsim
