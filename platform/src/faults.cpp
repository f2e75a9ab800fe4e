// Fault injection in one place: every stand-in call first reports here by its
// Win32 name, so a test can make the n-th call of a function fail, or run
// something just before it, without the caller knowing.
#include "machine.h"
#include "faults.h"
#include "kernel_objects.h"

#include <winsim.h>

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <utility>

namespace
{

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

// Every stand-in call counts itself here, so the common case (nothing armed)
// must cost next to nothing: callers pass their name as a literal, whose
// address finds its counter in a small table without building a string.
struct CounterSlot
{
    const char* pszName = nullptr;
    int* pnCount = nullptr;
};

const size_t kCounterSlots = 256;

struct FaultTable
{
    std::map<std::string, int> mapCalls;
    std::map<std::string, std::list<PendingFault>> mapFaults;
    std::map<std::string, std::list<PendingHook>> mapHooks;
    size_t nPending = 0; // faults and hooks not yet due
    CounterSlot aSlots[kCounterSlots];
    const char* pszLastCall = ""; // the callers pass literals
};

FaultTable& Table()
{
    static FaultTable* pTable = winsim::detail::KeptUntilExit(new FaultTable);
    return *pTable;
}

int& CounterFor(FaultTable& table, const char* pszFunction)
{
    size_t iSlot = (reinterpret_cast<uintptr_t>(pszFunction) >> 3) % kCounterSlots;
    for (size_t nProbes = 0; nProbes < kCounterSlots; ++nProbes)
    {
        CounterSlot& slot = table.aSlots[iSlot];
        if (slot.pszName == pszFunction)
            return *slot.pnCount;
        if (!slot.pszName)
        {
            slot.pszName = pszFunction;
            slot.pnCount = &table.mapCalls[pszFunction];
            return *slot.pnCount;
        }
        iSlot = (iSlot + 1) % kCounterSlots;
    }
    return table.mapCalls[pszFunction];
}

size_t CountPending(const FaultTable& table)
{
    size_t nPending = 0;
    for (const auto& entry : table.mapFaults)
        nPending += entry.second.size();
    for (const auto& entry : table.mapHooks)
        nPending += entry.second.size();
    return nPending;
}

} // namespace

namespace winsim
{
namespace detail
{

bool CallFails(const char* pszFunction, DWORD* pdwStatus)
{
    CurrentMachine();
    FaultTable& table = Table();
    ++CounterFor(table, pszFunction);
    table.pszLastCall = pszFunction;
    if (table.nPending == 0)
        return false;
    std::string sFunction(pszFunction);

    // Hooks due now are taken off the table before they run, so an action may
    // itself call platform functions or arm new faults.
    auto itHooks = table.mapHooks.find(sFunction);
    if (itHooks != table.mapHooks.end())
    {
        std::list<std::function<void()>> lDue;
        for (auto it = itHooks->second.begin(); it != itHooks->second.end();)
        {
            if (--it->nCallsLeft == 0)
            {
                lDue.push_back(std::move(it->fnAction));
                it = itHooks->second.erase(it);
                --table.nPending;
            }
            else
                ++it;
        }
        for (auto& fnAction : lDue)
            fnAction();
    }

    bool fFails = false;
    auto itFaults = table.mapFaults.find(sFunction);
    if (itFaults != table.mapFaults.end())
    {
        for (auto it = itFaults->second.begin(); it != itFaults->second.end();)
        {
            if (--it->nCallsLeft == 0)
            {
                if (!fFails)
                    *pdwStatus = it->dwStatus;
                fFails = true;
                it = itFaults->second.erase(it);
                --table.nPending;
            }
            else
                ++it;
        }
    }
    return fFails;
}

void ResetFaults()
{
    FaultTable& table = Table();
    table.mapCalls.clear();
    table.mapFaults.clear();
    table.mapHooks.clear();
    table.nPending = 0;
    for (CounterSlot& slot : table.aSlots)
        slot = CounterSlot();
    table.pszLastCall = "";
}

} // namespace detail

void FailCall(const std::string& sFunction, int nNth, DWORD dwStatus)
{
    if (nNth > 0)
    {
        Table().mapFaults[sFunction].push_back(PendingFault{nNth, dwStatus});
        ++Table().nPending;
    }
}

void ClearFaults()
{
    Table().mapFaults.clear();
    Table().nPending = CountPending(Table());
}

void OnCall(const std::string& sFunction, int nNth, std::function<void()> fnAction)
{
    if (nNth > 0 && fnAction)
    {
        Table().mapHooks[sFunction].push_back(PendingHook{nNth, std::move(fnAction)});
        ++Table().nPending;
    }
}

int CallCount(const std::string& sFunction)
{
    auto it = Table().mapCalls.find(sFunction);
    return it == Table().mapCalls.end() ? 0 : it->second;
}

std::map<std::string, int> CallCounts()
{
    return Table().mapCalls;
}

std::string LastCall()
{
    return Table().pszLastCall;
}

} // namespace winsim
