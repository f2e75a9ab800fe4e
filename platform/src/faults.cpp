// Fault injection in one place: every stand-in call first reports here by its
// Win32 name, so a test can make the n-th call of a function fail, or run
// something just before it, without the caller knowing.
#include "fault_gate.h"

#include "winsim_internal.h"

#include <winsim.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <list>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace
{

// Every function the gate knows: the only names a call may pass under, and the
// only ones FailCall, OnCall and CallCount take.
const char* const kFailableCalls[] = {
    // advapi32
    "RegOpenKeyExA",
    "RegCreateKeyExA",
    "RegQueryValueExA",
    "RegSetValueExA",
    "RegFlushKey",
    "RegQueryInfoKeyA",
    "RegEnumKeyA",
    "RegDeleteKeyA",
    "RegCloseKey",
    // kernel32
    "GetLastError",
    "SetLastError",
    "GetVersionExA",
    "GetSystemDirectoryA",
    "GetWindowsDirectoryA",
    "FindFirstFileA",
    "FindNextFileA",
    "FindClose",
    "CreateDirectoryA",
    "SetEnvironmentVariableA",
    "CreateFileA",
    "GetFileTime",
    "CompareFileTime",
    "CloseHandle",
    "DeleteFileA",
    "LoadLibraryA",
    "GetProcAddress",
    "FreeLibrary",
    // winspool
    "EnumPrintersA",
    "EnumPortsA",
    // the C runtime
    "fopen",
    "_open",
    "_fdopen",
};
const int kCalls = static_cast<int>(std::size(kFailableCalls));

int IndexOf(std::string_view svName)
{
    for (int i = 0; i < kCalls; ++i)
        if (svName == kFailableCalls[i])
            return i;
    return -1;
}

struct PendingFault
{
    int nCallsLeft;
    DWORD dwStatus;
};

struct PendingHook
{
    int nCallsLeft;
    std::function<void()> fnAction;
};

// Every stand-in call passes the gate, so the common case (nothing armed) must
// cost next to nothing: callers pass their name as a literal, whose address
// finds its place in the table through a small cache without comparing text.
struct CacheSlot
{
    const char* pszName = nullptr;
    int iCall = -1;
};

const size_t kCacheSlots = 256;

struct FaultTable
{
    int anCalls[kCalls] = {};
    std::list<PendingFault> alFaults[kCalls];
    std::list<PendingHook> alHooks[kCalls];
    size_t nPending = 0; // faults and hooks not yet due
    int iLastCall = -1;
    CacheSlot aCache[kCacheSlots]; // literal to place in the table; outlives a reset
};

FaultTable& Table()
{
    static FaultTable* pTable = winsim::detail::KeptUntilExit(new FaultTable);
    return *pTable;
}

thread_local DWORD t_dwLastError = 0;

// A call under a name the table lacks is the stand-in's own mistake.
[[noreturn]] void UnknownCall(const char* pszFunction)
{
    fprintf(stderr,
            "winsim: a call passed the fault gate as \"%s\", which the table of failable "
            "calls (platform/src/faults.cpp) lacks\n",
            pszFunction);
    abort();
}

int PlaceOf(FaultTable& table, const char* pszFunction)
{
    size_t iSlot = (reinterpret_cast<uintptr_t>(pszFunction) >> 3) % kCacheSlots;
    for (size_t nProbes = 0; nProbes < kCacheSlots; ++nProbes)
    {
        CacheSlot& slot = table.aCache[iSlot];
        if (slot.pszName == pszFunction)
            return slot.iCall;
        if (!slot.pszName)
        {
            int iCall = IndexOf(pszFunction);
            if (iCall < 0)
                UnknownCall(pszFunction);
            slot = CacheSlot{pszFunction, iCall};
            return iCall;
        }
        iSlot = (iSlot + 1) % kCacheSlots;
    }
    int iCall = IndexOf(pszFunction);
    if (iCall < 0)
        UnknownCall(pszFunction);
    return iCall;
}

// A test that names a function the stand-in does not have would arm a fault
// that never fires and pass without testing anything.
int KnownCall(const char* pszApi, const std::string& sFunction)
{
    int iCall = IndexOf(sFunction);
    if (iCall < 0)
        throw std::invalid_argument(std::string("winsim::") + pszApi +
                                    ": no stand-in call is named \"" + sFunction +
                                    "\" (see winsim::FailableCalls for the names it knows)");
    return iCall;
}

size_t CountPending(const FaultTable& table)
{
    size_t nPending = 0;
    for (int i = 0; i < kCalls; ++i)
        nPending += table.alFaults[i].size() + table.alHooks[i].size();
    return nPending;
}

} // namespace

namespace winsim
{
namespace detail
{

bool FaultReturns(const char* pszFunction, DWORD* pdwStatus)
{
    CurrentMachine();
    FaultTable& table = Table();
    int iCall = PlaceOf(table, pszFunction);
    ++table.anCalls[iCall];
    table.iLastCall = iCall;
    if (table.nPending == 0)
        return false;

    // Hooks due now are taken off the table before they run, so an action may
    // itself call platform functions or arm new faults.
    std::list<PendingHook>& lHooks = table.alHooks[iCall];
    std::list<std::function<void()>> lDue;
    for (auto it = lHooks.begin(); it != lHooks.end();)
    {
        if (--it->nCallsLeft == 0)
        {
            lDue.push_back(std::move(it->fnAction));
            it = lHooks.erase(it);
            --table.nPending;
        }
        else
            ++it;
    }
    for (auto& fnAction : lDue)
        fnAction();

    bool fFails = false;
    std::list<PendingFault>& lFaults = table.alFaults[iCall];
    for (auto it = lFaults.begin(); it != lFaults.end();)
    {
        if (--it->nCallsLeft == 0)
        {
            if (!fFails)
                *pdwStatus = it->dwStatus;
            fFails = true;
            it = lFaults.erase(it);
            --table.nPending;
        }
        else
            ++it;
    }
    return fFails;
}

bool Fails(const char* pszFunction)
{
    DWORD dwStatus = 0;
    if (!FaultReturns(pszFunction, &dwStatus))
        return false;
    t_dwLastError = dwStatus;
    return true;
}

void ResetFaults()
{
    FaultTable& table = Table();
    for (int i = 0; i < kCalls; ++i)
    {
        table.anCalls[i] = 0;
        table.alFaults[i].clear();
        table.alHooks[i].clear();
    }
    table.nPending = 0;
    table.iLastCall = -1;
}

DWORD LastErrorValue()
{
    return t_dwLastError;
}

void SetLastErrorValue(DWORD dwError)
{
    t_dwLastError = dwError;
}

} // namespace detail

void FailCall(const std::string& sFunction, int nNth, DWORD dwStatus)
{
    int iCall = KnownCall("FailCall", sFunction);
    if (nNth > 0)
    {
        Table().alFaults[iCall].push_back(PendingFault{nNth, dwStatus});
        ++Table().nPending;
    }
}

void ClearFaults()
{
    for (auto& lFaults : Table().alFaults)
        lFaults.clear();
    Table().nPending = CountPending(Table());
}

void OnCall(const std::string& sFunction, int nNth, std::function<void()> fnAction)
{
    int iCall = KnownCall("OnCall", sFunction);
    if (nNth > 0 && fnAction)
    {
        Table().alHooks[iCall].push_back(PendingHook{nNth, std::move(fnAction)});
        ++Table().nPending;
    }
}

int CallCount(const std::string& sFunction)
{
    return Table().anCalls[KnownCall("CallCount", sFunction)];
}

std::map<std::string, int> CallCounts()
{
    std::map<std::string, int> mapCalls;
    for (int i = 0; i < kCalls; ++i)
        if (Table().anCalls[i] > 0)
            mapCalls[kFailableCalls[i]] = Table().anCalls[i];
    return mapCalls;
}

std::string LastCall()
{
    return Table().iLastCall < 0 ? std::string() : kFailableCalls[Table().iLastCall];
}

std::vector<std::string> FailableCalls()
{
    return std::vector<std::string>(std::begin(kFailableCalls), std::end(kFailableCalls));
}

} // namespace winsim
