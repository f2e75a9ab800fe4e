// The gate every stand-in call passes first, under its Win32 name: it counts
// the call, runs a test's hook due now, and tells whether the call must fail.
// The names it knows are one fixed table (faults.cpp); a call under any other
// name stops the process at once, so the table, the tests' FailCall and OnCall
// and the calls themselves cannot drift apart.
#pragma once

#include <windows.h>

namespace winsim
{
namespace detail
{

// For the calls that return their status (the registry's, GetLastError): true
// when this call must fail, with the status in *pdwStatus.
bool FaultReturns(const char* pszFunction, DWORD* pdwStatus);
// For the calls that report a failure through the thread's last error: true
// when this call must fail, with the last error set to the status.
bool Fails(const char* pszFunction);
void ResetFaults();

// The thread's last error, read and set without counting as a call of
// GetLastError or SetLastError. It lives with the gate, which sets it for
// every failing call, so every part of the stand-in reaches it here.
DWORD LastErrorValue();
void SetLastErrorValue(DWORD dwError);

} // namespace detail
} // namespace winsim
