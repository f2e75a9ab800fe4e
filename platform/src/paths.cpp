// Windows paths on the host file system, and the runtime's fopen on top of
// them. Drive X: is the machine's drive_x/ folder; names match existing
// entries without regard to letter case, as they would on Windows.
#include "machine.h"
#include "faults.h"
#include "kernel_objects.h"

#include <winsim/registry_tree.h>

#include <io.h>
#include <winsim.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The program's headers turn fopen and the low-level calls into the stand-in's;
// here we need the real ones.
#undef fopen
#undef _open
#undef _fdopen
#undef _close

namespace winsim
{
namespace detail
{
namespace
{

bool IsSeparator(char ch)
{
    return ch == '\\' || ch == '/';
}

bool IsDriveLetter(char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
}

bool IsNulDevice(const std::string& sPath)
{
    size_t iLast = sPath.find_last_of("\\/");
    std::string sName = iLast == std::string::npos ? sPath : sPath.substr(iLast + 1);
    if (!sName.empty() && sName.back() == ':')
        sName.pop_back();
    if (iLast == std::string::npos && sName.size() == 4 && sName[1] == ':')
        sName.erase(0, 2); // "C:nul"
    return EqualNoCase(sName, "nul");
}

// The name of an entry of sDir that matches sName: the exact spelling if it
// exists, otherwise the first one (in byte order) that matches ignoring case.
bool FindEntryNoCase(const std::string& sDir, const std::string& sName, std::string* psFound)
{
    struct stat st;
    std::string sExact = (sDir.empty() ? std::string() : sDir + "/") + sName;
    if (lstat(sExact.c_str(), &st) == 0)
    {
        *psFound = sName;
        return true;
    }
    DIR* pDir = opendir(sDir.empty() ? "." : sDir.c_str());
    if (!pDir)
        return false;
    bool fFound = false;
    while (dirent* pEntry = readdir(pDir))
    {
        std::string sEntry(pEntry->d_name);
        if (EqualNoCase(sEntry, sName) && (!fFound || sEntry < *psFound))
        {
            *psFound = sEntry;
            fFound = true;
        }
    }
    closedir(pDir);
    return fFound;
}

} // namespace
} // namespace detail

std::string MapPath(const std::string& sWindowsPath)
{
    using namespace detail;
    std::string sPath = sWindowsPath;
    if (sPath.empty())
        return sPath;
    if (IsNulDevice(sPath))
        return "/dev/null";
    // Host paths are taken as they are.
    if (sPath[0] == '/')
        return sPath;
    if (sPath.compare(0, 4, "\\\\?\\") == 0)
        sPath.erase(0, 4);
    if (sPath.size() >= 2 && IsSeparator(sPath[0]) && IsSeparator(sPath[1]))
    {
        std::replace(sPath.begin(), sPath.end(), '\\', '/');
        return sPath; // network paths have no place on this machine
    }

    std::string sBase; // empty: relative to the current directory
    size_t iRest = 0;
    if (sPath.size() >= 2 && IsDriveLetter(sPath[0]) && sPath[1] == ':')
    {
        sBase = DriveFolder(sPath[0], false);
        iRest = 2;
    }
    else if (IsSeparator(sPath[0]))
        sBase = DriveFolder('C', false);

    std::vector<std::string> vsParts;
    size_t iStart = iRest;
    while (iStart <= sPath.size())
    {
        size_t iEnd = sPath.find_first_of("\\/", iStart);
        if (iEnd == std::string::npos)
            iEnd = sPath.size();
        std::string sPart = sPath.substr(iStart, iEnd - iStart);
        if (sPart == "..")
        {
            if (!vsParts.empty())
                vsParts.pop_back();
        }
        else if (!sPart.empty() && sPart != ".")
            vsParts.push_back(sPart);
        iStart = iEnd + 1;
    }

    // Walk down while the entries exist, taking each one's real spelling; the
    // rest keeps the spelling it was given.
    std::string sResult = sBase;
    bool fResolving = true;
    for (const std::string& sPart : vsParts)
    {
        std::string sName = sPart;
        if (fResolving)
        {
            std::string sFound;
            if (FindEntryNoCase(sResult, sPart, &sFound))
                sName = sFound;
            else
                fResolving = false;
        }
        sResult += (sResult.empty() ? "" : "/") + sName;
    }
    if (sResult.empty())
        sResult = sBase.empty() ? "." : sBase;
    if (IsSeparator(sPath.back()) && sResult.back() != '/' && !vsParts.empty())
        sResult += '/';
    return sResult;
}

} // namespace winsim

// ---------------------------------------------------------------------------
// fopen: the Windows runtime opens files in text mode unless the mode says
// "b", so every "\n" written reaches the file as CR LF and CR LF reads back as
// "\n". The stream also holds the file open for the sharing rules of CreateFileA.

namespace
{

struct RuntimeFile
{
    int fd = -1;
    bool fText = false;
    int iOpen = -1;
    int nPending = -1; // a byte read ahead past a CR
};

ssize_t WriteAll(int fd, const char* pch, size_t cb)
{
    size_t cbDone = 0;
    while (cbDone < cb)
    {
        ssize_t cbWritten = write(fd, pch + cbDone, cb - cbDone);
        if (cbWritten < 0)
        {
            if (errno == EINTR)
                continue;
            return -1;
        }
        cbDone += static_cast<size_t>(cbWritten);
    }
    return static_cast<ssize_t>(cbDone);
}

ssize_t RuntimeWrite(void* pCookie, const char* pch, size_t cb)
{
    RuntimeFile* pFile = static_cast<RuntimeFile*>(pCookie);
    if (!pFile->fText)
        return WriteAll(pFile->fd, pch, cb) < 0 ? 0 : static_cast<ssize_t>(cb);
    std::string sOut;
    sOut.reserve(cb + cb / 8 + 1);
    for (size_t i = 0; i < cb; ++i)
    {
        if (pch[i] == '\n')
            sOut += '\r';
        sOut += pch[i];
    }
    return WriteAll(pFile->fd, sOut.data(), sOut.size()) < 0 ? 0 : static_cast<ssize_t>(cb);
}

ssize_t ReadByte(RuntimeFile* pFile, char* pch)
{
    if (pFile->nPending >= 0)
    {
        *pch = static_cast<char>(pFile->nPending);
        pFile->nPending = -1;
        return 1;
    }
    ssize_t cbRead;
    do
        cbRead = read(pFile->fd, pch, 1);
    while (cbRead < 0 && errno == EINTR);
    return cbRead;
}

ssize_t RuntimeRead(void* pCookie, char* pch, size_t cb)
{
    RuntimeFile* pFile = static_cast<RuntimeFile*>(pCookie);
    if (!pFile->fText)
    {
        ssize_t cbRead;
        do
            cbRead = read(pFile->fd, pch, cb);
        while (cbRead < 0 && errno == EINTR);
        return cbRead;
    }
    size_t cbOut = 0;
    while (cbOut < cb)
    {
        char ch;
        ssize_t cbRead = ReadByte(pFile, &ch);
        if (cbRead < 0)
            return cbOut ? static_cast<ssize_t>(cbOut) : -1;
        if (cbRead == 0)
            break;
        if (ch == '\r')
        {
            char chNext;
            ssize_t cbNext = ReadByte(pFile, &chNext);
            if (cbNext == 1 && chNext == '\n')
                ch = '\n';
            else if (cbNext == 1)
                pFile->nPending = static_cast<unsigned char>(chNext);
        }
        pch[cbOut++] = ch;
        if (ch == '\n')
            break; // hand over whole lines; the rest comes with the next read
    }
    return static_cast<ssize_t>(cbOut);
}

int RuntimeSeek(void* pCookie, off64_t* pllOffset, int nWhence)
{
    RuntimeFile* pFile = static_cast<RuntimeFile*>(pCookie);
    off64_t llResult = lseek64(pFile->fd, *pllOffset, nWhence);
    if (llResult < 0)
        return -1;
    pFile->nPending = -1;
    *pllOffset = llResult;
    return 0;
}

// Streams open now, the null device's included, for the test API's count.
int g_nOpenStreams = 0;

int RuntimeClose(void* pCookie)
{
    --g_nOpenStreams;
    RuntimeFile* pFile = static_cast<RuntimeFile*>(pCookie);
    int nResult = close(pFile->fd);
    winsim::detail::UnregisterOpenFile(pFile->iOpen);
    delete pFile;
    return nResult;
}

} // namespace

namespace
{

// Opens a Windows path as the runtime does, with the sharing it asks for
// (read and write: the runtime never locks others out). Returns the host
// descriptor and its registration for the sharing rules, or -1 with errno set.
int OpenShared(const char* pszPath, int nHostFlags, DWORD dwAccess, bool* pfRegular, int* piOpen)
{
    std::string sHostPath = winsim::MapPath(pszPath);
    const DWORD dwShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    struct stat st;
    if (lstat(sHostPath.c_str(), &st) == 0)
    {
        // Creating anew refuses any name that stands there, a link included.
        if ((nHostFlags & O_CREAT) && (nHostFlags & O_EXCL))
        {
            errno = EEXIST;
            return -1;
        }
        if (stat(sHostPath.c_str(), &st) == 0)
        {
            if (S_ISDIR(st.st_mode))
            {
                errno = EACCES;
                return -1;
            }
            if (!winsim::detail::ShareAllows({st.st_dev, st.st_ino}, dwAccess, dwShare))
            {
                winsim::detail::SetLastErrorValue(ERROR_SHARING_VIOLATION);
                errno = EACCES;
                return -1;
            }
        }
    }
    int fd = open(sHostPath.c_str(), nHostFlags | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0)
    {
        close(fd);
        return -1;
    }
    *pfRegular = S_ISREG(st.st_mode);
    *piOpen = *pfRegular
                  ? winsim::detail::RegisterOpenFile({st.st_dev, st.st_ino}, dwAccess, dwShare)
                  : -1;
    return fd;
}

FILE* StreamOn(int fd, bool fText, int iOpen, const char* pszMode)
{
    RuntimeFile* pFile = new RuntimeFile;
    ++g_nOpenStreams;
    pFile->fd = fd;
    pFile->fText = fText;
    pFile->iOpen = iOpen;
    std::string sMode(1, pszMode[0]);
    if (strchr(pszMode, '+') != nullptr)
        sMode += '+';
    cookie_io_functions_t functions = {RuntimeRead, RuntimeWrite, RuntimeSeek, RuntimeClose};
    FILE* pStream = fopencookie(pFile, sMode.c_str(), functions);
    if (!pStream)
        RuntimeClose(pFile);
    return pStream;
}

// Descriptors from winsim_open that no stream has taken over yet.
struct LowLevelFile
{
    bool fText = false;
    int iOpen = -1;
};

std::map<int, LowLevelFile>& LowLevelFiles()
{
    static auto* pFiles = winsim::detail::KeptUntilExit(new std::map<int, LowLevelFile>);
    return *pFiles;
}

bool RuntimeCallFails(const char* pszFunction)
{
    DWORD dwStatus = 0;
    if (!winsim::detail::CallFails(pszFunction, &dwStatus))
        return false;
    winsim::detail::SetLastErrorValue(dwStatus);
    errno = EACCES;
    return true;
}

} // namespace

int winsim::detail::OpenStreamCount()
{
    return g_nOpenStreams + static_cast<int>(LowLevelFiles().size());
}

FILE* winsim_fopen(const char* pszPath, const char* pszMode)
{
    if (RuntimeCallFails("fopen"))
        return nullptr;
    if (!pszPath || !pszMode || !*pszPath)
    {
        errno = EINVAL;
        return nullptr;
    }
    int nFlags = 0;
    DWORD dwAccess = 0;
    bool fPlus = strchr(pszMode, '+') != nullptr;
    switch (pszMode[0])
    {
    case 'r':
        nFlags = fPlus ? O_RDWR : O_RDONLY;
        dwAccess = GENERIC_READ | (fPlus ? GENERIC_WRITE : 0);
        break;
    case 'w':
        nFlags = (fPlus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        dwAccess = GENERIC_WRITE | (fPlus ? GENERIC_READ : 0);
        break;
    case 'a':
        nFlags = (fPlus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        dwAccess = GENERIC_WRITE | (fPlus ? GENERIC_READ : 0);
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    bool fRegular = false;
    int iOpen = -1;
    int fd = OpenShared(pszPath, nFlags, dwAccess, &fRegular, &iOpen);
    if (fd < 0)
        return nullptr;
    return StreamOn(fd, strchr(pszMode, 'b') == nullptr && fRegular, iOpen, pszMode);
}

// _open: text mode unless _O_BINARY, as with the runtime's default file mode.
int winsim_open(const char* pszPath, int nOpenFlags, int nPermission)
{
    if (RuntimeCallFails("_open"))
        return -1;
    if (!pszPath || !*pszPath)
    {
        errno = ENOENT;
        return -1;
    }
    int nFlags = (nOpenFlags & _O_RDWR) ? O_RDWR : ((nOpenFlags & _O_WRONLY) ? O_WRONLY : O_RDONLY);
    DWORD dwAccess = (nOpenFlags & _O_RDWR)     ? GENERIC_READ | GENERIC_WRITE
                     : (nOpenFlags & _O_WRONLY) ? GENERIC_WRITE
                                                : GENERIC_READ;
    if (nOpenFlags & _O_APPEND)
        nFlags |= O_APPEND;
    if (nOpenFlags & _O_CREAT)
        nFlags |= O_CREAT;
    if (nOpenFlags & _O_TRUNC)
        nFlags |= O_TRUNC;
    if (nOpenFlags & _O_EXCL)
        nFlags |= O_EXCL;
    bool fRegular = false;
    int iOpen = -1;
    int fd = OpenShared(pszPath, nFlags, dwAccess, &fRegular, &iOpen);
    if (fd < 0)
        return -1;
    // A new file made without write permission is read-only, as on Windows.
    if ((nOpenFlags & _O_CREAT) && !(nPermission & _S_IWRITE))
        fchmod(fd, 0444);
    LowLevelFiles()[fd] = LowLevelFile{!(nOpenFlags & _O_BINARY) && fRegular, iOpen};
    return fd;
}

// The stream takes the descriptor over: closing the stream closes it.
FILE* winsim_fdopen(int nDescriptor, const char* pszMode)
{
    if (RuntimeCallFails("_fdopen"))
        return nullptr;
    auto it = LowLevelFiles().find(nDescriptor);
    if (it == LowLevelFiles().end())
    {
        errno = EBADF;
        return nullptr;
    }
    if (!pszMode || !strchr("rwa", pszMode[0]))
    {
        errno = EINVAL;
        return nullptr;
    }
    LowLevelFile file = it->second;
    LowLevelFiles().erase(it);
    return StreamOn(nDescriptor, file.fText, file.iOpen, pszMode);
}

int winsim_close(int nDescriptor)
{
    auto it = LowLevelFiles().find(nDescriptor);
    if (it == LowLevelFiles().end())
    {
        errno = EBADF;
        return -1;
    }
    winsim::detail::UnregisterOpenFile(it->second.iOpen);
    LowLevelFiles().erase(it);
    return close(nDescriptor);
}
