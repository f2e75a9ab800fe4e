// Private to the stand-in: what the calls share beyond the registry.
#pragma once

#include <windows.h>

namespace winsim
{
namespace detail
{

// Kernel objects that the file calls share (open files, for the sharing rules).
void ResetKernelObjects();
void ResetRegistryHandles();
void ResetLoader();

// Windows' sharing check against files this process holds open; the stand-in
// fopen registers its streams here too.
// Files are told apart by device and inode number.
struct FileId
{
    unsigned long long ullDevice;
    unsigned long long ullInode;
};
bool ShareAllows(const FileId& id, DWORD dwAccess, DWORD dwShare);
// Whether every handle open on the file lets others delete it.
bool ShareAllowsDelete(const FileId& id);
int RegisterOpenFile(const FileId& id, DWORD dwAccess, DWORD dwShare);
void UnregisterOpenFile(int iOpen);
// Runtime streams (winsim_fopen) and low-level descriptors (winsim_open) not
// yet closed.
int OpenStreamCount();

// The thread's last error, set without counting as a call of SetLastError.
void SetLastErrorValue(DWORD dwError);

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
