// The table of files this process holds open, for Windows' sharing rules.
#include "file_sharing.h"

#include "winsim_internal.h"

#include <map>

namespace
{

struct OpenFile
{
    winsim::detail::FileId id;
    DWORD dwAccess;
    DWORD dwShare;
};

std::map<int, OpenFile>& OpenFiles()
{
    static auto* pFiles = winsim::detail::KeptUntilExit(new std::map<int, OpenFile>);
    return *pFiles;
}
int g_iNextOpenFile = 0;

bool SameFile(const winsim::detail::FileId& left, const winsim::detail::FileId& right)
{
    return left.ullDevice == right.ullDevice && left.ullInode == right.ullInode;
}

} // namespace

namespace winsim
{
namespace detail
{

bool WantsRead(DWORD dwAccess)
{
    return (dwAccess & (GENERIC_READ | GENERIC_ALL | 0x0001)) != 0;
}

bool WantsWrite(DWORD dwAccess)
{
    return (dwAccess & (GENERIC_WRITE | GENERIC_ALL | 0x0002 | 0x0004)) != 0;
}

bool ShareAllows(const FileId& id, DWORD dwAccess, DWORD dwShare)
{
    for (const auto& entry : OpenFiles())
    {
        const OpenFile& open = entry.second;
        if (!SameFile(open.id, id))
            continue;
        if ((WantsRead(dwAccess) && !(open.dwShare & FILE_SHARE_READ)) ||
            (WantsWrite(dwAccess) && !(open.dwShare & FILE_SHARE_WRITE)) ||
            (WantsRead(open.dwAccess) && !(dwShare & FILE_SHARE_READ)) ||
            (WantsWrite(open.dwAccess) && !(dwShare & FILE_SHARE_WRITE)))
            return false;
    }
    return true;
}

bool ShareAllowsDelete(const FileId& id)
{
    for (const auto& entry : OpenFiles())
    {
        const OpenFile& open = entry.second;
        if (SameFile(open.id, id) && !(open.dwShare & FILE_SHARE_DELETE))
            return false;
    }
    return true;
}

int RegisterOpenFile(const FileId& id, DWORD dwAccess, DWORD dwShare)
{
    int iOpen = g_iNextOpenFile++;
    OpenFiles()[iOpen] = OpenFile{id, dwAccess, dwShare};
    return iOpen;
}

void UnregisterOpenFile(int iOpen)
{
    OpenFiles().erase(iOpen);
}

} // namespace detail
} // namespace winsim
