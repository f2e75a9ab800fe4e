// Fault injection in one place: every stand-in call first reports here by its
// Win32 name, so a test can make the n-th call of a function fail, or run
// something just before it, without the caller knowing.
#include "winsim_internal.h"

#include <winsim.h>

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

struct FaultTable
{
    std::map<std::string, int> mapCalls;
    std::map<std::string, std::list<PendingFault>> mapFaults;
    std::map<std::string, std::list<PendingHook>> mapHooks;
    const char* pszLastCall = ""; // the callers pass literals
};

FaultTable& Table()
{
    static FaultTable* pTable = new FaultTable;
    return *pTable;
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
    std::string sFunction(pszFunction);
    ++table.mapCalls[sFunction];
    table.pszLastCall = pszFunction;

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
    table.pszLastCall = "";
}

} // namespace detail

void FailCall(const std::string& sFunction, int nNth, DWORD dwStatus)
{
    if (nNth > 0)
        Table().mapFaults[sFunction].push_back(PendingFault{nNth, dwStatus});
}

void ClearFaults()
{
    Table().mapFaults.clear();
}

void OnCall(const std::string& sFunction, int nNth, std::function<void()> fnAction)
{
    if (nNth > 0 && fnAction)
        Table().mapHooks[sFunction].push_back(PendingHook{nNth, std::move(fnAction)});
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
