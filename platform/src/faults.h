// Private to the stand-in: the fault table every stand-in call goes through.
#pragma once

#include <windows.h>

namespace winsim
{
namespace detail
{

// Fault table: counts the call, runs a hook due now, and tells whether the call
// must fail (with the status in *pdwStatus).
bool CallFails(const char* pszFunction, DWORD* pdwStatus);
void ResetFaults();

} // namespace detail
} // namespace winsim
