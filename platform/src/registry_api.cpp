// The advapi32 registry calls on top of the registry tree. Statuses, checks
// and their order follow what Wine answers for the same calls.
#include "fault_gate.h"
#include "machine.h"
#include "kernel_objects.h"

#include <winsim/registry_tree.h>

#include <winsim.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

using winsim::detail::RegKey;

namespace
{

struct KeyHandle
{
    std::shared_ptr<RegKey> pKey;
    REGSAM samGranted;
};

// Handles are never reused, so a stale handle is always recognised as bad.
// The table outlives static destructors: they may still close keys.
std::map<uintptr_t, KeyHandle>& KeyHandles()
{
    static auto* pHandles = winsim::detail::KeptUntilExit(new std::map<uintptr_t, KeyHandle>);
    return *pHandles;
}
uintptr_t g_idNextKeyHandle = 1;

const uintptr_t kPredefinedFirst = 0x80000000u;
const uintptr_t kPredefinedLast = 0x80000003u;

bool IsPredefined(HKEY hKey)
{
    uintptr_t uKey = reinterpret_cast<uintptr_t>(hKey);
    return uKey >= kPredefinedFirst && uKey <= kPredefinedLast;
}

REGSAM GrantedAccess(REGSAM samDesired)
{
    REGSAM sam = samDesired & 0x00FFFFFF;
    if (samDesired & GENERIC_READ)
        sam |= KEY_READ;
    if (samDesired & GENERIC_WRITE)
        sam |= KEY_WRITE;
    if (samDesired & GENERIC_EXECUTE)
        sam |= KEY_READ;
    if (samDesired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        sam |= KEY_ALL_ACCESS;
    return sam;
}

// Finds the key behind a handle: a predefined root, or an open handle.
LONG ResolveKey(HKEY hKey, std::shared_ptr<RegKey>* ppKey, REGSAM* psamGranted)
{
    winsim::detail::Machine& machine = winsim::detail::CurrentMachine();
    uintptr_t uKey = reinterpret_cast<uintptr_t>(hKey);
    if (IsPredefined(hKey))
    {
        *ppKey = machine.registry.apRoots[uKey - kPredefinedFirst];
        *psamGranted = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    auto it = KeyHandles().find(uKey);
    if (it == KeyHandles().end())
        return ERROR_INVALID_HANDLE;
    if (it->second.pKey->fDeleted)
        return ERROR_KEY_DELETED;
    *ppKey = it->second.pKey;
    *psamGranted = it->second.samGranted;
    return ERROR_SUCCESS;
}

// The 9x family checks no access rights on registry handles; NT (and Wine)
// refuse a call that the handle was not opened for.
bool AccessAllows(REGSAM samGranted, REGSAM samNeeded)
{
    return !winsim::detail::IsNtPlatform() || (samGranted & samNeeded) == samNeeded;
}

HKEY NewHandle(const std::shared_ptr<RegKey>& pKey, REGSAM samDesired)
{
    uintptr_t uKey = 0x100 + (g_idNextKeyHandle++ << 2);
    KeyHandles()[uKey] = KeyHandle{pKey, GrantedAccess(samDesired)};
    return reinterpret_cast<HKEY>(uKey);
}

// The key a call works on and the rights its handle was opened with.
struct KeyCall
{
    std::shared_ptr<RegKey> pKey;
    REGSAM samGranted = 0;
};

const REGSAM kNoRight = 0;

// What every call on a key starts with, in Wine's order: the fault gate, the
// key behind the handle, then the right the call needs.
LONG BeginKeyCall(const char* pszFunction, HKEY hKey, REGSAM samNeeded, KeyCall* pCall)
{
    DWORD dwStatus = 0;
    if (winsim::detail::FaultReturns(pszFunction, &dwStatus))
        return static_cast<LONG>(dwStatus);
    LONG lStatus = ResolveKey(hKey, &pCall->pKey, &pCall->samGranted);
    if (lStatus == ERROR_SUCCESS && !AccessAllows(pCall->samGranted, samNeeded))
        return ERROR_ACCESS_DENIED;
    return lStatus;
}

// The same for the calls that hand back a new handle: the result pointer is
// checked, and cleared, before the handle.
LONG BeginOpeningCall(const char* pszFunction, HKEY hKey, PHKEY phkResult, KeyCall* pCall)
{
    DWORD dwStatus = 0;
    if (winsim::detail::FaultReturns(pszFunction, &dwStatus))
        return static_cast<LONG>(dwStatus);
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return ResolveKey(hKey, &pCall->pKey, &pCall->samGranted);
}

// The longest names and data are kept as the lists change; only after the last
// of the longest went are they counted again.
void RecountIfStale(RegKey& key)
{
    if (key.statSubkeyName.fStale)
    {
        key.statSubkeyName = winsim::detail::SizeStat();
        for (const auto& pChild : key.vpSubkeys)
            key.statSubkeyName.Add(pChild->sName.size());
    }
    if (key.statValueName.fStale || key.statValueData.fStale)
    {
        key.statValueName = winsim::detail::SizeStat();
        key.statValueData = winsim::detail::SizeStat();
        for (const auto& value : key.vValues)
        {
            key.statValueName.Add(value.Name().size());
            key.statValueData.Add(value.Bytes().size());
        }
    }
}

bool IsStringType(DWORD dwType)
{
    return dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ;
}

} // namespace

namespace winsim
{
namespace detail
{

void ResetRegistryHandles()
{
    KeyHandles().clear();
}

} // namespace detail

int OpenKeyCount()
{
    return static_cast<int>(KeyHandles().size());
}

} // namespace winsim

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    (void)ulOptions;
    KeyCall call;
    LONG lStatus = BeginOpeningCall("RegOpenKeyExA", hKey, phkResult, &call);
    if (lStatus != ERROR_SUCCESS)
        return lStatus;
    if (!lpSubKey || !*lpSubKey)
    {
        // Wine hands back the predefined handle itself; any other key gets a
        // new handle of its own.
        *phkResult = IsPredefined(hKey) ? hKey : NewHandle(call.pKey, samDesired);
        return ERROR_SUCCESS;
    }
    if (lpSubKey[0] == '\\')
        return ERROR_BAD_PATHNAME;
    std::shared_ptr<RegKey> pFound =
        winsim::detail::FindSubkey(call.pKey, winsim::detail::SplitKeyPath(lpSubKey));
    if (!pFound)
        return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(pFound, samDesired);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition)
{
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    KeyCall call;
    LONG lStatus = BeginOpeningCall("RegCreateKeyExA", hKey, phkResult, &call);
    if (lStatus != ERROR_SUCCESS)
        return lStatus;
    if (lpSubKey && lpSubKey[0] == '\\')
        return ERROR_BAD_PATHNAME;
    bool fCreated = false;
    std::shared_ptr<RegKey> pResult = winsim::detail::CreateSubkey(
        call.pKey, winsim::detail::SplitKeyPath(lpSubKey ? lpSubKey : ""), &fCreated);
    *phkResult = NewHandle(pResult, samDesired);
    if (lpdwDisposition)
        *lpdwDisposition = fCreated ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    if (fCreated)
        winsim::detail::RecordKeyCreated(*pResult);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData)
{
    KeyCall call;
    LONG lStatus = BeginKeyCall("RegQueryValueExA", hKey, KEY_QUERY_VALUE, &call);
    if (lStatus != ERROR_SUCCESS)
        return lStatus;
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    const winsim::detail::RegValue* pValue =
        winsim::detail::FindValue(*call.pKey, lpValueName ? lpValueName : "");
    if (!pValue)
        return ERROR_FILE_NOT_FOUND;
    const winsim::detail::RegValue& value = *pValue;
    std::string_view svBytes = value.Bytes();
    DWORD cbValue = static_cast<DWORD>(svBytes.size());
    if (lpType)
        *lpType = value.dwType;
    if (lpData)
    {
        if (*lpcbData < cbValue)
        {
            *lpcbData = cbValue;
            return ERROR_MORE_DATA;
        }
        if (cbValue)
            memcpy(lpData, svBytes.data(), cbValue);
        // A string stored without its terminator reads back terminated when the
        // buffer has room, as Windows does; the size still tells the stored bytes.
        if (IsStringType(value.dwType) && *lpcbData > cbValue &&
            (cbValue == 0 || svBytes[cbValue - 1] != '\0'))
            lpData[cbValue] = 0;
    }
    if (lpcbData)
        *lpcbData = cbValue;
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData)
{
    (void)Reserved;
    KeyCall call;
    LONG lStatus = BeginKeyCall("RegSetValueExA", hKey, KEY_SET_VALUE, &call);
    if (lStatus != ERROR_SUCCESS)
        return lStatus;
    if (!lpData && cbData)
        return ERROR_NOACCESS;
    std::string_view svBytes;
    if (cbData)
        svBytes = std::string_view(reinterpret_cast<const char*>(lpData), cbData);
    const char* pszName = lpValueName ? lpValueName : "";
    winsim::detail::SetValueBytes(*call.pKey, pszName, dwType, svBytes);
    winsim::detail::RecordValueSet(*call.pKey, *winsim::detail::FindValue(*call.pKey, pszName));
    return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY hKey)
{
    // Every change is already on disk; the handle check is all there is to do.
    KeyCall call;
    return BeginKeyCall("RegFlushKey", hKey, kNoRight, &call);
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    KeyCall call;
    LONG lStatus = BeginKeyCall("RegQueryInfoKeyA", hKey, kNoRight, &call);
    if (lStatus != ERROR_SUCCESS)
        return lStatus;
    RegKey* pKey = call.pKey.get();
    if (lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    // Keys have no class here: an empty one is reported.
    if (lpClass && *lpcchClass > 0)
        lpClass[0] = '\0';
    if (lpcchClass)
        *lpcchClass = 0;
    RecountIfStale(*pKey);
    DWORD cchMaxSubkey = pKey->statSubkeyName.nMax;
    DWORD cchMaxValueName = pKey->statValueName.nMax;
    DWORD cbMaxValue = pKey->statValueData.nMax;
    if (lpcSubKeys)
        *lpcSubKeys = static_cast<DWORD>(pKey->vpSubkeys.size());
    if (lpcbMaxSubKeyLen)
        *lpcbMaxSubKeyLen = cchMaxSubkey;
    if (lpcbMaxClassLen)
        *lpcbMaxClassLen = 0;
    if (lpcValues)
        *lpcValues = static_cast<DWORD>(pKey->vValues.size());
    if (lpcbMaxValueNameLen)
        *lpcbMaxValueNameLen = cchMaxValueName;
    if (lpcbMaxValueLen)
        *lpcbMaxValueLen = cbMaxValue;
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime)
        *lpftLastWriteTime = pKey->ftLastWrite;
    return ERROR_SUCCESS;
}

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName)
{
    KeyCall call;
    LONG lStatus = BeginKeyCall("RegEnumKeyA", hKey, KEY_ENUMERATE_SUB_KEYS, &call);
    if (lStatus != ERROR_SUCCESS)
        return lStatus;
    const RegKey* pKey = call.pKey.get();
    if (!lpName)
        return ERROR_INVALID_PARAMETER;
    if (dwIndex >= pKey->vpSubkeys.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string& sName = pKey->vpSubkeys[dwIndex]->sName;
    if (sName.size() + 1 > cchName)
        return ERROR_MORE_DATA;
    memcpy(lpName, sName.c_str(), sName.size() + 1);
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    KeyCall call;
    LONG lStatus = BeginKeyCall("RegDeleteKeyA", hKey, kNoRight, &call);
    if (lStatus != ERROR_SUCCESS)
        return lStatus;
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    if (lpSubKey[0] == '\\')
        return ERROR_BAD_PATHNAME;
    std::shared_ptr<RegKey> pTarget =
        winsim::detail::FindSubkey(call.pKey, winsim::detail::SplitKeyPath(lpSubKey));
    if (!pTarget)
        return ERROR_FILE_NOT_FOUND;
    RegKey* pParent = pTarget->pParent;
    if (!pParent) // a root key cannot go
        return ERROR_ACCESS_DENIED;
    // NT deletes only a key without subkeys; the 9x family takes the whole subtree.
    if (!pTarget->vpSubkeys.empty() && winsim::detail::IsNtPlatform())
        return ERROR_ACCESS_DENIED;
    winsim::detail::RecordKeyDeleted(winsim::detail::KeyPath(*pTarget));
    winsim::detail::RemoveSubkey(*pParent, *pTarget);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey)
{
    DWORD dwStatus = ERROR_SUCCESS;
    bool fFails = winsim::detail::FaultReturns("RegCloseKey", &dwStatus);
    LONG lStatus = static_cast<LONG>(dwStatus);
    if (IsPredefined(hKey))
        return lStatus;
    // The kernel drops the handle before any status comes back: even a close
    // that reports a failure leaves nothing open for the caller to close again.
    auto it = KeyHandles().find(reinterpret_cast<uintptr_t>(hKey));
    if (it == KeyHandles().end())
        return fFails ? lStatus : ERROR_INVALID_HANDLE;
    KeyHandles().erase(it);
    return lStatus;
}
