// The C runtime's file calls on top of the machine's paths: fopen, _open,
// _fdopen and _close as the Windows runtime behaves. Text mode turns every
// "\n" written into CR LF and reads CR LF back as "\n"; every stream and
// descriptor holds its file open for the sharing rules of CreateFileA.
#include "crt_streams.h"

#include "fault_gate.h"
#include "file_sharing.h"
#include "winsim_internal.h"

#include <io.h>
#include <winsim.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The program's headers turn fopen and the low-level calls into the stand-in's;
// here we need the real ones.
#undef fopen
#undef _open
#undef _fdopen
#undef _close

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

// The runtime's calls fail with errno set, and the last error of the system
// call below them.
bool RuntimeCallFails(const char* pszFunction)
{
    if (!winsim::detail::Fails(pszFunction))
        return false;
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
