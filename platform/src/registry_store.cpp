// The registry tree: keys and values whose names ignore ASCII letter case but
// keep the spelling they were created with.
#include "winsim_internal.h"

#include <winsim.h>

#include <ctime>

namespace winsim
{
namespace detail
{

namespace
{

int FoldCase(unsigned char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? ch - 'A' + 'a' : ch;
}

struct RootNames
{
    const char* pszName;
    const char* pszShort;
};

const RootNames g_aRootNames[RootCount] = {
    {"HKEY_CLASSES_ROOT", "HKCR"},
    {"HKEY_CURRENT_USER", "HKCU"},
    {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},
};

FILETIME Now()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return FileTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

} // namespace

int CompareNoCase(const std::string& sLeft, const std::string& sRight)
{
    size_t cch = sLeft.size() < sRight.size() ? sLeft.size() : sRight.size();
    for (size_t i = 0; i < cch; ++i)
    {
        int nLeft = FoldCase(static_cast<unsigned char>(sLeft[i]));
        int nRight = FoldCase(static_cast<unsigned char>(sRight[i]));
        if (nLeft != nRight)
            return nLeft < nRight ? -1 : 1;
    }
    if (sLeft.size() == sRight.size())
        return 0;
    return sLeft.size() < sRight.size() ? -1 : 1;
}

bool EqualNoCase(const std::string& sLeft, const std::string& sRight)
{
    return sLeft.size() == sRight.size() && CompareNoCase(sLeft, sRight) == 0;
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

int RootFromName(const std::string& sName)
{
    for (int i = 0; i < RootCount; ++i)
    {
        if (EqualNoCase(sName, g_aRootNames[i].pszName) ||
            EqualNoCase(sName, g_aRootNames[i].pszShort))
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

std::shared_ptr<RegKey> FindSubkey(const std::shared_ptr<RegKey>& pFrom,
                                   const std::vector<std::string>& vsPath)
{
    std::shared_ptr<RegKey> pKey = pFrom;
    for (const std::string& sName : vsPath)
    {
        auto it = pKey->mapSubkeys.find(sName);
        if (it == pKey->mapSubkeys.end())
            return nullptr;
        pKey = it->second;
    }
    return pKey;
}

std::shared_ptr<RegKey> CreateSubkey(const std::shared_ptr<RegKey>& pFrom,
                                     const std::vector<std::string>& vsPath, bool* pfCreated)
{
    bool fCreated = false;
    std::shared_ptr<RegKey> pKey = pFrom;
    for (const std::string& sName : vsPath)
    {
        auto it = pKey->mapSubkeys.find(sName);
        if (it != pKey->mapSubkeys.end())
        {
            pKey = it->second;
            fCreated = false;
            continue;
        }
        auto pChild = std::make_shared<RegKey>();
        pChild->sName = sName;
        pChild->pParent = pKey;
        pChild->ftLastWrite = Now();
        pKey->mapSubkeys.emplace(sName, pChild);
        TouchKey(*pKey);
        pKey = pChild;
        fCreated = true;
    }
    if (pfCreated)
        *pfCreated = fCreated;
    return pKey;
}

void MarkDeleted(const std::shared_ptr<RegKey>& pKey)
{
    pKey->fDeleted = true;
    for (auto& entry : pKey->mapSubkeys)
        MarkDeleted(entry.second);
}

void RemoveSubkey(const std::shared_ptr<RegKey>& pParent, const std::string& sName)
{
    auto it = pParent->mapSubkeys.find(sName);
    if (it == pParent->mapSubkeys.end())
        return;
    std::shared_ptr<RegKey> pChild = it->second;
    pParent->mapSubkeys.erase(it);
    MarkDeleted(pChild);
    TouchKey(*pParent);
}

void SetValueBytes(RegKey& key, const std::string& sName, DWORD dwType, const std::string& sBytes)
{
    auto it = key.mapValues.find(sName);
    if (it == key.mapValues.end())
        it = key.mapValues.emplace(sName, RegValue{sName, dwType, sBytes}).first;
    else
    {
        it->second.dwType = dwType;
        it->second.sBytes = sBytes;
    }
    TouchKey(key);
}

void TouchKey(RegKey& key)
{
    key.ftLastWrite = Now();
}

std::shared_ptr<RegKey> FindKeyByPath(const std::string& sFullPath)
{
    std::vector<std::string> vsPath = SplitKeyPath(sFullPath);
    if (vsPath.empty())
        return nullptr;
    int iRoot = RootFromName(vsPath.front());
    if (iRoot < 0)
        return nullptr;
    vsPath.erase(vsPath.begin());
    return FindSubkey(CurrentMachine().registry.apRoots[iRoot], vsPath);
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
    auto it = pKey->mapValues.find(sValueName);
    if (it == pKey->mapValues.end())
        return false;
    if (pdwType)
        *pdwType = it->second.dwType;
    if (psBytes)
        *psBytes = it->second.sBytes;
    return true;
}

} // namespace winsim
