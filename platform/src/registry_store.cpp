// The registry tree: keys and values whose names ignore ASCII letter case but
// keep the spelling they were created with.
#include "machine.h"
#include "kernel_objects.h"

#include <winsim/registry_tree.h>

#include <winsim.h>

#include <algorithm>
#include <cstring>
#include <ctime>

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

std::string_view SubkeyName(const std::shared_ptr<RegKey>& pKey)
{
    return pKey->sName;
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

const std::shared_ptr<RegKey>* FindChild(const RegKey& key, std::string_view svName)
{
    size_t i = LowerBound(key.vpSubkeys, svName, SubkeyName);
    if (i < key.vpSubkeys.size() && EqualNoCase(key.vpSubkeys[i]->sName, svName))
        return &key.vpSubkeys[i];
    return nullptr;
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
                                        const FILETIME& ftNow)
{
    size_t i = LowerBound(key.vpSubkeys, svName, SubkeyName);
    if (i < key.vpSubkeys.size() && EqualNoCase(key.vpSubkeys[i]->sName, svName))
    {
        *pfCreated = false;
        return key.vpSubkeys[i];
    }
    auto pChild = std::make_shared<RegKey>();
    pChild->sName.assign(svName.data(), svName.size());
    pChild->pParent = &key;
    pChild->ftLastWrite = ftNow;
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

void RemoveSubkey(RegKey& parent, std::string_view svName)
{
    size_t i = LowerBound(parent.vpSubkeys, svName, SubkeyName);
    if (i >= parent.vpSubkeys.size() || !EqualNoCase(parent.vpSubkeys[i]->sName, svName))
        return;
    std::shared_ptr<RegKey> pChild = parent.vpSubkeys[i];
    parent.vpSubkeys.erase(parent.vpSubkeys.begin() + static_cast<std::ptrdiff_t>(i));
    parent.statSubkeyName.Remove(pChild->sName.size());
    NoteChange(parent);
    MarkDeleted(*pChild);
    TouchKey(parent);
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
