// Private to the stand-in: what the calls share beyond the registry.
#pragma once

#include <windows.h>

namespace winsim
{
namespace detail
{

// The fault gate and the thread's last error: fault_gate.h. The sharing table:
// file_sharing.h. The C runtime's files: crt_streams.h.
void ResetKernelObjects();
void ResetRegistryHandles();
void ResetLoader();

FILETIME FileTimeFromUnix(long long llSeconds, long lNanoseconds);
DWORD ErrorFromErrno(int nErrno);

// The platform's state outlives every static destructor of the program (they
// may still reach the platform after main returns) and is released only after
// them, as the process finishes, so a leak checker finds nothing left.
void ReleaseAtExit(void (*pfnRelease)(void*), void* pvState);

template <typename T> T* KeptUntilExit(T* pState)
{
    ReleaseAtExit([](void* pvState) { delete static_cast<T*>(pvState); }, pState);
    return pState;
}

} // namespace detail
} // namespace winsim
