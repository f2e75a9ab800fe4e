// Windows' sharing rules among the files this process holds open: kernel
// handles (CreateFileA) and the C runtime's streams both register here, and
// both ask here before they open or delete a file.
#pragma once

#include <windows.h>

namespace winsim
{
namespace detail
{

// Files are told apart by device and inode number, so every name of a file
// (a hard link too) meets the same rules.
struct FileId
{
    unsigned long long ullDevice;
    unsigned long long ullInode;
};

// Whether the access asks to read or to write, in any of Windows' spellings.
bool WantsRead(DWORD dwAccess);
bool WantsWrite(DWORD dwAccess);

// Whether a new open with this access and sharing gets along with every open
// one of the file.
bool ShareAllows(const FileId& id, DWORD dwAccess, DWORD dwShare);
// Whether every open of the file lets others delete it.
bool ShareAllowsDelete(const FileId& id);
// Registers an open; the number it returns unregisters it (-1 is none).
int RegisterOpenFile(const FileId& id, DWORD dwAccess, DWORD dwShare);
void UnregisterOpenFile(int iOpen);

} // namespace detail
} // namespace winsim
