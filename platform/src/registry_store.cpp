// The registry tree: keys and values whose names ignore ASCII letter case but
// keep the spelling they were created with.
#include "machine.h"
#include "kernel_objects.h"

#include <winsim/codepage.h>
#include <winsim/registry_tree.h>

#include <winsim.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <unordered_map>

namespace winsim
{
namespace detail
{

namespace
{

inline int FoldCase(unsigned char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? ch - 'A' + 'a' : ch;
}

struct RootNames
{
    const char* pszName;
    const char* pszShort;
};

const RootNames g_aRootNames[RootCount] = {
    {"HKEY_CLASSES_ROOT", "HKCR"}, {"HKEY_CURRENT_USER", "HKCU"},   {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},         {"HKEY_CURRENT_CONFIG", "HKCC"}, {"HKEY_DYN_DATA", "HKDD"},
};

unsigned long long g_ullVersionEpoch = 1;

// Whether a change in this key's own lists can touch HKCU\Software\Wine "Version":
// the key is that root, its Software child, or Software\Wine.
bool OnVersionPath(const RegKey& key)
{
    const RegKey* apChain[3] = {&key, nullptr, nullptr};
    int nDepth = 0;
    const RegKey* pKey = &key;
    while (pKey->pParent)
    {
        if (++nDepth > 2)
            return false;
        pKey = pKey->pParent;
        apChain[nDepth] = pKey;
    }
    if (key.fDeleted || !EqualNoCase(pKey->sName, g_aRootNames[RootCurrentUser].pszName))
        return false;
    if (nDepth >= 1 && !EqualNoCase(apChain[nDepth - 1]->sName, "Software"))
        return false;
    return nDepth < 2 || EqualNoCase(key.sName, "Wine");
}

void NoteChange(const RegKey& key)
{
    if (OnVersionPath(key))
        ++g_ullVersionEpoch;
}

// The Unicode names of the few keys whose ANSI name is a lossy conversion.
// Released at exit before the keys of the machine: they look it up no more.
std::unordered_map<const RegKey*, std::string>* g_pOriginals = nullptr;

std::unordered_map<const RegKey*, std::string>& Originals()
{
    if (!g_pOriginals)
        ReleaseAtExit(
            [](void*)
            {
                delete g_pOriginals;
                g_pOriginals = nullptr;
            },
            g_pOriginals = new std::unordered_map<const RegKey*, std::string>);
    return *g_pOriginals;
}

// The UTF-16 units of a name: its ANSI bytes one unit each, or its Unicode
// original (UTF-8, an unpaired surrogate in its three-byte form).
class Units
{
public:
    Units(std::string_view svAnsi, std::string_view svOriginal)
        : m_sv(svOriginal.empty() ? svAnsi : svOriginal), m_fUtf8(!svOriginal.empty())
    {
    }
    bool Next(unsigned int* puUnit)
    {
        if (m_uLow)
        {
            *puUnit = m_uLow;
            m_uLow = 0;
            return true;
        }
        if (m_i >= m_sv.size())
            return false;
        unsigned char b = static_cast<unsigned char>(m_sv[m_i++]);
        if (!m_fUtf8)
        {
            *puUnit = UnicodeFromAnsi(b);
            return true;
        }
        size_t nMore = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
        unsigned int uChar = nMore ? b & (0x3F >> nMore) : b;
        for (; nMore && m_i < m_sv.size(); --nMore)
            uChar = (uChar << 6) | (static_cast<unsigned char>(m_sv[m_i++]) & 0x3F);
        if (uChar >= 0x10000)
        {
            m_uLow = 0xDC00 + ((uChar - 0x10000) & 0x3FF);
            uChar = 0xD800 + ((uChar - 0x10000) >> 10);
        }
        *puUnit = uChar;
        return true;
    }

private:
    std::string_view m_sv;
    bool m_fUtf8;
    size_t m_i = 0;
    unsigned int m_uLow = 0;
};

// NT's order: unit by unit in lower case, a shorter name before a longer one
// it begins. ASCII names, nearly all of them, take the first loop alone.
int CompareNt(std::string_view svLeft, std::string_view svLeftOriginal, std::string_view svRight,
              std::string_view svRightOriginal)
{
    if (svLeftOriginal.empty() && svRightOriginal.empty())
    {
        size_t cch = std::min(svLeft.size(), svRight.size());
        const unsigned char* pLeft = reinterpret_cast<const unsigned char*>(svLeft.data());
        const unsigned char* pRight = reinterpret_cast<const unsigned char*>(svRight.data());
        for (size_t i = 0; i < cch; ++i)
        {
            if (pLeft[i] == pRight[i])
                continue;
            unsigned int uLeft =
                pLeft[i] < 0x80 ? FoldCase(pLeft[i]) : LowerUnit(UnicodeFromAnsi(pLeft[i]));
            unsigned int uRight =
                pRight[i] < 0x80 ? FoldCase(pRight[i]) : LowerUnit(UnicodeFromAnsi(pRight[i]));
            if (uLeft != uRight)
                return uLeft < uRight ? -1 : 1;
        }
        if (svLeft.size() == svRight.size())
            return 0;
        return svLeft.size() < svRight.size() ? -1 : 1;
    }
    Units left(svLeft, svLeftOriginal);
    Units right(svRight, svRightOriginal);
    while (true)
    {
        unsigned int uLeft = 0;
        unsigned int uRight = 0;
        bool fLeft = left.Next(&uLeft);
        bool fRight = right.Next(&uRight);
        if (!fLeft || !fRight)
            return fLeft == fRight ? 0 : fLeft ? 1 : -1;
        uLeft = LowerUnit(uLeft);
        uRight = LowerUnit(uRight);
        if (uLeft != uRight)
            return uLeft < uRight ? -1 : 1;
    }
}

template <typename Less>
size_t BoundBy(const std::vector<std::shared_ptr<RegKey>>& vpSubkeys, Less less)
{
    // Files and programs mostly add in order: try the end first.
    if (vpSubkeys.empty() || less(*vpSubkeys.back()))
        return vpSubkeys.size();
    size_t iLow = 0;
    size_t iHigh = vpSubkeys.size();
    while (iLow < iHigh)
    {
        size_t iMid = iLow + (iHigh - iLow) / 2;
        if (less(*vpSubkeys[iMid]))
            iLow = iMid + 1;
        else
            iHigh = iMid;
    }
    return iLow;
}

// The family is decided per list, once, not per comparison: this search runs
// for every key of a machine as it loads.
size_t SubkeyBound(const RegKey& key, std::string_view svName, std::string_view svOriginal)
{
    if (key.fAnsiOrder)
        return BoundBy(key.vpSubkeys, [svName](const RegKey& child)
                       { return CompareNoCase(child.sName, svName) < 0; });
    return BoundBy(key.vpSubkeys,
                   [svName, svOriginal](const RegKey& child)
                   {
                       std::string_view svChild =
                           child.fHasOriginal ? OriginalName(child) : std::string_view();
                       return CompareNt(child.sName, svChild, svName, svOriginal) < 0;
                   });
}

bool IsChild(const RegKey& key, size_t i, std::string_view svName, std::string_view svOriginal)
{
    if (i >= key.vpSubkeys.size())
        return false;
    const RegKey& child = *key.vpSubkeys[i];
    // Names of ANSI bytes alone (one unit each on NT) of different lengths
    // differ in either order.
    if (!child.fHasOriginal && svOriginal.empty() && child.sName.size() != svName.size())
        return false;
    return CompareSubkeyName(key, child, svName, svOriginal) == 0;
}

template <typename T, typename GetName>
size_t LowerBound(const std::vector<T>& vItems, std::string_view svName, GetName getName)
{
    // Files and programs mostly add in order: try the end first.
    if (vItems.empty() || CompareNoCase(getName(vItems.back()), svName) < 0)
        return vItems.size();
    size_t iLow = 0;
    size_t iHigh = vItems.size();
    while (iLow < iHigh)
    {
        size_t iMid = iLow + (iHigh - iLow) / 2;
        if (CompareNoCase(getName(vItems[iMid]), svName) < 0)
            iLow = iMid + 1;
        else
            iHigh = iMid;
    }
    return iLow;
}

std::string_view ValueName(const RegValue& value)
{
    return value.Name();
}

void MarkDeleted(RegKey& key)
{
    key.fDeleted = true;
    key.pParent = nullptr;
    for (auto& pChild : key.vpSubkeys)
        MarkDeleted(*pChild);
}

} // namespace

RegKey::~RegKey()
{
    if (fHasOriginal && g_pOriginals)
        g_pOriginals->erase(this);
}

std::string_view OriginalName(const RegKey& key)
{
    if (!key.fHasOriginal || !g_pOriginals)
        return std::string_view();
    auto it = g_pOriginals->find(&key);
    return it == g_pOriginals->end() ? std::string_view() : std::string_view(it->second);
}

int CompareSubkeyName(const RegKey& parent, const RegKey& child, std::string_view svName,
                      std::string_view svOriginal)
{
    if (parent.fAnsiOrder)
        return CompareNoCase(child.sName, svName);
    return CompareNt(child.sName, OriginalName(child), svName, svOriginal);
}

namespace
{

// Moves what the later of two keys that became equal holds into the first.
void MergeInto(RegKey& into, RegKey& from)
{
    for (RegValue& value : from.vValues)
        if (!FindValue(into, value.Name()))
            SetValueBytes(into, value.Name(), value.dwType, value.Bytes());
    for (auto& pChild : from.vpSubkeys)
    {
        size_t i = SubkeyBound(into, pChild->sName, OriginalName(*pChild));
        if (IsChild(into, i, pChild->sName, OriginalName(*pChild)))
        {
            MergeInto(*into.vpSubkeys[i], *pChild);
            continue;
        }
        pChild->pParent = &into;
        into.statSubkeyName.Add(pChild->sName.size());
        into.vpSubkeys.insert(into.vpSubkeys.begin() + static_cast<std::ptrdiff_t>(i), pChild);
    }
    from.vpSubkeys.clear();
    from.fDeleted = true;
    from.pParent = nullptr;
}

void Reorder(RegKey& key, bool fAnsiOrder)
{
    if (key.fAnsiOrder != fAnsiOrder)
    {
        key.fAnsiOrder = fAnsiOrder;
        auto Less =
            [&key](const std::shared_ptr<RegKey>& pLeft, const std::shared_ptr<RegKey>& pRight)
        { return CompareSubkeyName(key, *pLeft, pRight->sName, OriginalName(*pRight)) < 0; };
        auto& vpSubkeys = key.vpSubkeys;
        if (!std::is_sorted(vpSubkeys.begin(), vpSubkeys.end(), Less))
            std::stable_sort(vpSubkeys.begin(), vpSubkeys.end(), Less);
        for (size_t i = 1; i < vpSubkeys.size();)
        {
            if (Less(vpSubkeys[i - 1], vpSubkeys[i]))
            {
                ++i;
                continue;
            }
            std::shared_ptr<RegKey> pLater = vpSubkeys[i];
            vpSubkeys.erase(vpSubkeys.begin() + static_cast<std::ptrdiff_t>(i));
            key.statSubkeyName.Remove(pLater->sName.size());
            Reorder(*pLater, fAnsiOrder);
            Reorder(*vpSubkeys[i - 1], fAnsiOrder);
            MergeInto(*vpSubkeys[i - 1], *pLater);
        }
    }
    for (auto& pChild : key.vpSubkeys)
        Reorder(*pChild, fAnsiOrder);
}

} // namespace

void SetSubkeyOrder(Registry& registry, bool fAnsiOrder)
{
    for (auto& pRoot : registry.apRoots)
        if (pRoot->fAnsiOrder != fAnsiOrder)
            Reorder(*pRoot, fAnsiOrder);
}

int CompareNoCase(std::string_view svLeft, std::string_view svRight)
{
    size_t cch = svLeft.size() < svRight.size() ? svLeft.size() : svRight.size();
    const unsigned char* pLeft = reinterpret_cast<const unsigned char*>(svLeft.data());
    const unsigned char* pRight = reinterpret_cast<const unsigned char*>(svRight.data());
    for (size_t i = 0; i < cch; ++i)
    {
        if (pLeft[i] == pRight[i])
            continue;
        int nLeft = FoldCase(pLeft[i]);
        int nRight = FoldCase(pRight[i]);
        if (nLeft != nRight)
            return nLeft < nRight ? -1 : 1;
    }
    if (svLeft.size() == svRight.size())
        return 0;
    return svLeft.size() < svRight.size() ? -1 : 1;
}

bool EqualNoCase(std::string_view svLeft, std::string_view svRight)
{
    return svLeft.size() == svRight.size() && CompareNoCase(svLeft, svRight) == 0;
}

RegValue::RegValue(std::string_view svName, DWORD dwTypeIn, std::string_view svBytes)
    : dwType(dwTypeIn), m_cchName(static_cast<uint32_t>(svName.size())),
      m_cbData(static_cast<uint32_t>(svBytes.size()))
{
    size_t cbTotal = svName.size() + svBytes.size();
    if (cbTotal == 0)
        return;
    m_pch.reset(new char[cbTotal]);
    if (!svName.empty())
        memcpy(m_pch.get(), svName.data(), svName.size());
    if (!svBytes.empty())
        memcpy(m_pch.get() + svName.size(), svBytes.data(), svBytes.size());
}

void RegValue::SetData(DWORD dwTypeIn, std::string_view svBytes)
{
    dwType = dwTypeIn;
    size_t cbTotal = m_cchName + svBytes.size();
    std::unique_ptr<char[]> pch(cbTotal ? new char[cbTotal] : nullptr);
    if (m_cchName)
        memcpy(pch.get(), m_pch.get(), m_cchName);
    if (!svBytes.empty())
        memcpy(pch.get() + m_cchName, svBytes.data(), svBytes.size());
    m_pch = std::move(pch);
    m_cbData = static_cast<uint32_t>(svBytes.size());
}

void SizeStat::Add(size_t n)
{
    uint32_t u = static_cast<uint32_t>(n);
    if (u > nMax || (fStale && u == nMax))
    {
        nMax = u;
        nAtMax = 1;
        fStale = false;
    }
    else if (u == nMax)
        ++nAtMax;
}

void SizeStat::Remove(size_t n)
{
    if (static_cast<uint32_t>(n) == nMax && nAtMax > 0 && --nAtMax == 0)
        fStale = true;
}

Registry::Registry()
{
    for (int i = 0; i < RootCount; ++i)
    {
        apRoots[i] = std::make_shared<RegKey>();
        apRoots[i]->sName = g_aRootNames[i].pszName;
    }
}

const char* RootName(int iRoot)
{
    return (iRoot >= 0 && iRoot < RootCount) ? g_aRootNames[iRoot].pszName : "";
}

int RootFromName(std::string_view svName)
{
    for (int i = 0; i < RootCount; ++i)
    {
        if (EqualNoCase(svName, g_aRootNames[i].pszName) ||
            EqualNoCase(svName, g_aRootNames[i].pszShort))
            return i;
    }
    return -1;
}

std::vector<std::string> SplitKeyPath(const std::string& sPath)
{
    std::vector<std::string> vsPath;
    size_t iStart = 0;
    while (iStart <= sPath.size())
    {
        size_t iEnd = sPath.find('\\', iStart);
        if (iEnd == std::string::npos)
            iEnd = sPath.size();
        if (iEnd > iStart)
            vsPath.push_back(sPath.substr(iStart, iEnd - iStart));
        iStart = iEnd + 1;
    }
    return vsPath;
}

FILETIME CurrentFileTime()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return FileTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

const std::shared_ptr<RegKey>* FindChild(const RegKey& key, std::string_view svName,
                                         std::string_view svOriginal)
{
    size_t i = SubkeyBound(key, svName, svOriginal);
    return IsChild(key, i, svName, svOriginal) ? &key.vpSubkeys[i] : nullptr;
}

const RegValue* FindValue(const RegKey& key, std::string_view svName)
{
    size_t i = LowerBound(key.vValues, svName, ValueName);
    if (i < key.vValues.size() && EqualNoCase(key.vValues[i].Name(), svName))
        return &key.vValues[i];
    return nullptr;
}

RegValue* FindValue(RegKey& key, std::string_view svName)
{
    return const_cast<RegValue*>(FindValue(static_cast<const RegKey&>(key), svName));
}

const std::shared_ptr<RegKey>& ChildFor(RegKey& key, std::string_view svName, bool* pfCreated,
                                        const FILETIME& ftNow, std::string_view svOriginal)
{
    if (svOriginal == svName)
        svOriginal = std::string_view();
    size_t i = SubkeyBound(key, svName, svOriginal);
    if (IsChild(key, i, svName, svOriginal))
    {
        *pfCreated = false;
        return key.vpSubkeys[i];
    }
    auto pChild = std::make_shared<RegKey>();
    pChild->sName.assign(svName.data(), svName.size());
    pChild->pParent = &key;
    pChild->ftLastWrite = ftNow;
    pChild->fAnsiOrder = key.fAnsiOrder;
    if (!svOriginal.empty())
    {
        Originals()[pChild.get()].assign(svOriginal.data(), svOriginal.size());
        pChild->fHasOriginal = true;
    }
    key.vpSubkeys.insert(key.vpSubkeys.begin() + static_cast<std::ptrdiff_t>(i), pChild);
    key.statSubkeyName.Add(svName.size());
    key.ftLastWrite = ftNow;
    NoteChange(key);
    *pfCreated = true;
    return key.vpSubkeys[i];
}

std::shared_ptr<RegKey> FindSubkey(const std::shared_ptr<RegKey>& pFrom,
                                   const std::vector<std::string>& vsPath)
{
    const std::shared_ptr<RegKey>* ppKey = &pFrom;
    for (const std::string& sName : vsPath)
    {
        ppKey = FindChild(**ppKey, sName);
        if (!ppKey)
            return nullptr;
    }
    return *ppKey;
}

std::shared_ptr<RegKey> CreateSubkey(const std::shared_ptr<RegKey>& pFrom,
                                     const std::vector<std::string>& vsPath, bool* pfCreated)
{
    bool fCreated = false;
    FILETIME ftNow = CurrentFileTime();
    const std::shared_ptr<RegKey>* ppKey = &pFrom;
    for (const std::string& sName : vsPath)
        ppKey = &ChildFor(**ppKey, sName, &fCreated, ftNow);
    if (pfCreated)
        *pfCreated = fCreated;
    return *ppKey;
}

void RemoveSubkey(RegKey& parent, const RegKey& child)
{
    size_t i = SubkeyBound(parent, child.sName, OriginalName(child));
    if (i >= parent.vpSubkeys.size() || parent.vpSubkeys[i].get() != &child)
        return;
    std::shared_ptr<RegKey> pChild = parent.vpSubkeys[i];
    parent.vpSubkeys.erase(parent.vpSubkeys.begin() + static_cast<std::ptrdiff_t>(i));
    parent.statSubkeyName.Remove(pChild->sName.size());
    NoteChange(parent);
    MarkDeleted(*pChild);
    TouchKey(parent);
}

void RemoveSubkey(RegKey& parent, std::string_view svName)
{
    if (const std::shared_ptr<RegKey>* ppChild = FindChild(parent, svName))
        RemoveSubkey(parent, **ppChild);
}

void SetValueBytes(RegKey& key, std::string_view svName, DWORD dwType, std::string_view svBytes)
{
    size_t i = LowerBound(key.vValues, svName, ValueName);
    if (i < key.vValues.size() && EqualNoCase(key.vValues[i].Name(), svName))
    {
        key.statValueData.Remove(key.vValues[i].Bytes().size());
        key.vValues[i].SetData(dwType, svBytes);
    }
    else
    {
        key.vValues.insert(key.vValues.begin() + static_cast<std::ptrdiff_t>(i),
                           RegValue(svName, dwType, svBytes));
        key.statValueName.Add(svName.size());
    }
    key.statValueData.Add(svBytes.size());
    NoteChange(key);
    TouchKey(key);
}

bool DeleteValue(RegKey& key, std::string_view svName)
{
    size_t i = LowerBound(key.vValues, svName, ValueName);
    if (i >= key.vValues.size() || !EqualNoCase(key.vValues[i].Name(), svName))
        return false;
    key.statValueName.Remove(key.vValues[i].Name().size());
    key.statValueData.Remove(key.vValues[i].Bytes().size());
    key.vValues.erase(key.vValues.begin() + static_cast<std::ptrdiff_t>(i));
    NoteChange(key);
    TouchKey(key);
    return true;
}

void TouchKey(RegKey& key)
{
    key.ftLastWrite = CurrentFileTime();
}

std::string KeyPath(const RegKey& key)
{
    std::vector<const RegKey*> vpChain;
    for (const RegKey* pKey = &key; pKey; pKey = pKey->pParent)
        vpChain.push_back(pKey);
    std::string sPath;
    for (auto it = vpChain.rbegin(); it != vpChain.rend(); ++it)
    {
        if (!sPath.empty())
            sPath += '\\';
        sPath += (*it)->sName;
    }
    return sPath;
}

void CountSubtree(const RegKey& key, size_t* pnKeys, size_t* pnValues)
{
    for (const auto& pChild : key.vpSubkeys)
    {
        ++*pnKeys;
        *pnValues += pChild->vValues.size();
        CountSubtree(*pChild, pnKeys, pnValues);
    }
}

unsigned long long VersionEpoch()
{
    return g_ullVersionEpoch;
}

void BumpVersionEpoch()
{
    ++g_ullVersionEpoch;
}

std::shared_ptr<RegKey> FindKeyByPath(const Registry& registry, const std::string& sFullPath)
{
    std::vector<std::string> vsPath = SplitKeyPath(sFullPath);
    if (vsPath.empty())
        return nullptr;
    int iRoot = RootFromName(vsPath.front());
    if (iRoot < 0)
        return nullptr;
    vsPath.erase(vsPath.begin());
    return FindSubkey(registry.apRoots[iRoot], vsPath);
}

std::shared_ptr<RegKey> FindKeyByPath(const std::string& sFullPath)
{
    return FindKeyByPath(CurrentMachine().registry, sFullPath);
}

} // namespace detail

bool KeyExists(const std::string& sKeyPath)
{
    return detail::FindKeyByPath(sKeyPath) != nullptr;
}

bool GetValue(const std::string& sKeyPath, const std::string& sValueName, DWORD* pdwType,
              std::string* psBytes)
{
    std::shared_ptr<detail::RegKey> pKey = detail::FindKeyByPath(sKeyPath);
    if (!pKey)
        return false;
    const detail::RegValue* pValue = detail::FindValue(*pKey, sValueName);
    if (!pValue)
        return false;
    if (pdwType)
        *pdwType = pValue->dwType;
    if (psBytes)
        psBytes->assign(pValue->Bytes().data(), pValue->Bytes().size());
    return true;
}

} // namespace winsim
