// The kernel32 services: last error, version, Windows folders, files, file
// searches and the environment.
#include "crt_streams.h"
#include "fault_gate.h"
#include "file_sharing.h"
#include "winsim_internal.h"

#include <winsim.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using winsim::detail::Fails;

namespace
{

// ---------------------------------------------------------------------------
// Kernel handles: open files and file searches.

struct KernelObject
{
    enum Kind
    {
        File,
        Search
    } eKind = File;
    int fd = -1;
    int iOpen = -1;
    std::vector<WIN32_FIND_DATAA> vFound;
    size_t iNext = 0;
};

std::map<uintptr_t, KernelObject>& KernelObjects()
{
    static auto* pObjects = winsim::detail::KeptUntilExit(new std::map<uintptr_t, KernelObject>);
    return *pObjects;
}
uintptr_t g_idNextObject = 1;

HANDLE NewKernelHandle(KernelObject object)
{
    uintptr_t uHandle = 0x10000 + (g_idNextObject++ << 2);
    KernelObjects()[uHandle] = std::move(object);
    return reinterpret_cast<HANDLE>(uHandle);
}

KernelObject* FindObject(HANDLE hObject, KernelObject::Kind eKind)
{
    auto it = KernelObjects().find(reinterpret_cast<uintptr_t>(hObject));
    if (it == KernelObjects().end() || it->second.eKind != eKind)
        return nullptr;
    return &it->second;
}

void CloseObject(KernelObject& object)
{
    if (object.fd >= 0)
        close(object.fd);
    winsim::detail::UnregisterOpenFile(object.iOpen);
}

BOOL FailWith(DWORD dwError)
{
    winsim::detail::SetLastErrorValue(dwError);
    return FALSE;
}

HANDLE FailHandle(DWORD dwError)
{
    winsim::detail::SetLastErrorValue(dwError);
    return INVALID_HANDLE_VALUE;
}

UINT CopyDirectory(const std::string& sDirectory, LPSTR lpBuffer, UINT uSize)
{
    UINT cch = static_cast<UINT>(sDirectory.size());
    if (!lpBuffer || uSize <= cch)
        return cch + 1;
    memcpy(lpBuffer, sDirectory.c_str(), cch + 1);
    return cch;
}

bool IsDirectory(const std::string& sPath)
{
    struct stat st;
    return stat(sPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string& sHostPath)
{
    std::string sPath = sHostPath;
    while (sPath.size() > 1 && sPath.back() == '/')
        sPath.pop_back();
    size_t iSlash = sPath.rfind('/');
    if (iSlash == std::string::npos)
        return ".";
    return iSlash == 0 ? "/" : sPath.substr(0, iSlash);
}

// ---------------------------------------------------------------------------
// Wildcards of the last path component: '*' and '?', letter case ignored.

int Fold(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? ch - 'A' + 'a' : static_cast<unsigned char>(ch);
}

bool MatchWildcard(const char* pszPattern, const char* pszName)
{
    const char* pszStar = nullptr;
    const char* pszStarName = nullptr;
    while (*pszName)
    {
        if (*pszPattern == '*')
        {
            pszStar = pszPattern++;
            pszStarName = pszName;
        }
        else if (*pszPattern == '?' || (*pszPattern && Fold(*pszPattern) == Fold(*pszName)))
        {
            ++pszPattern;
            ++pszName;
        }
        else if (pszStar)
        {
            pszPattern = pszStar + 1;
            pszName = ++pszStarName;
        }
        else
            return false;
    }
    while (*pszPattern == '*')
        ++pszPattern;
    return *pszPattern == '\0';
}

bool MatchesPattern(const std::string& sPattern, const std::string& sName)
{
    if (MatchWildcard(sPattern.c_str(), sName.c_str()))
        return true;
    // "name.*" also finds "name" itself, so "*.*" finds every entry.
    if (sPattern.size() >= 2 && sPattern.compare(sPattern.size() - 2, 2, ".*") == 0)
        return MatchWildcard(sPattern.substr(0, sPattern.size() - 2).c_str(), sName.c_str());
    return false;
}

bool FillFindData(const std::string& sDirectory, const std::string& sName, WIN32_FIND_DATAA* pData)
{
    if (sName.size() >= MAX_PATH)
        return false;
    struct stat st;
    std::string sPath = sDirectory + "/" + sName;
    if (stat(sPath.c_str(), &st) != 0 && lstat(sPath.c_str(), &st) != 0)
        return false;
    memset(pData, 0, sizeof *pData);
    DWORD dwAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.st_mode & S_IWUSR))
        dwAttributes |= FILE_ATTRIBUTE_READONLY;
    if (sName[0] == '.' && sName != "." && sName != "..")
        dwAttributes |= FILE_ATTRIBUTE_HIDDEN; // as Wine shows Unix dot files
    pData->dwFileAttributes = dwAttributes;
    pData->ftCreationTime = winsim::detail::FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    pData->ftLastAccessTime =
        winsim::detail::FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
    pData->ftLastWriteTime =
        winsim::detail::FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    if (!S_ISDIR(st.st_mode))
    {
        unsigned long long ullSize = static_cast<unsigned long long>(st.st_size);
        pData->nFileSizeHigh = static_cast<DWORD>(ullSize >> 32);
        pData->nFileSizeLow = static_cast<DWORD>(ullSize);
    }
    memcpy(pData->cFileName, sName.c_str(), sName.size() + 1);
    return true;
}

bool IsDriveFolder(const std::string& sHostPath)
{
    std::string sPath = sHostPath;
    while (sPath.size() > 1 && sPath.back() == '/')
        sPath.pop_back();
    size_t iSlash = sPath.rfind('/');
    std::string sName = iSlash == std::string::npos ? sPath : sPath.substr(iSlash + 1);
    if (sName.size() != 7 || sName.compare(0, 6, "drive_") != 0)
        return false;
    return winsim::detail::DriveFolder(sName[6], false) == sPath;
}

} // namespace

namespace winsim
{
namespace detail
{

FILETIME FileTimeFromUnix(long long llSeconds, long lNanoseconds)
{
    // FILETIME counts 100 ns intervals since 1601-01-01.
    const unsigned long long kEpochDifference = 11644473600ULL;
    unsigned long long ullTime =
        (static_cast<unsigned long long>(llSeconds) + kEpochDifference) * 10000000ULL +
        static_cast<unsigned long long>(lNanoseconds) / 100;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ullTime);
    ft.dwHighDateTime = static_cast<DWORD>(ullTime >> 32);
    return ft;
}

DWORD ErrorFromErrno(int nErrno)
{
    switch (nErrno)
    {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
        return ERROR_INVALID_NAME;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ETXTBSY:
    case EBUSY:
        return ERROR_SHARING_VIOLATION;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

void ResetKernelObjects()
{
    for (auto& entry : KernelObjects())
        CloseObject(entry.second);
    KernelObjects().clear();
}

} // namespace detail
} // namespace winsim

DWORD GetLastError()
{
    DWORD dwStatus = 0;
    // An injected fault makes GetLastError report that status.
    if (winsim::detail::FaultReturns("GetLastError", &dwStatus))
        return dwStatus;
    return winsim::detail::LastErrorValue();
}

void SetLastError(DWORD dwErrCode)
{
    DWORD dwStatus = 0;
    if (winsim::detail::FaultReturns("SetLastError", &dwStatus))
        return;
    winsim::detail::SetLastErrorValue(dwErrCode);
}

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation)
{
    if (Fails("GetVersionExA"))
        return FALSE;
    if (!lpVersionInformation)
        return FailWith(ERROR_INVALID_PARAMETER);
    DWORD cbInfo = lpVersionInformation->dwOSVersionInfoSize;
    if (cbInfo != sizeof(OSVERSIONINFOA) && cbInfo != sizeof(OSVERSIONINFOEXA))
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    const winsim::detail::VersionInfo& version = winsim::detail::MachineVersion();
    lpVersionInformation->dwMajorVersion = version.dwMajor;
    lpVersionInformation->dwMinorVersion = version.dwMinor;
    lpVersionInformation->dwBuildNumber = version.dwBuild;
    lpVersionInformation->dwPlatformId = version.dwPlatform;
    memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    strncpy(lpVersionInformation->szCSDVersion, version.pszCSD,
            sizeof lpVersionInformation->szCSDVersion - 1);
    if (cbInfo == sizeof(OSVERSIONINFOEXA))
    {
        OSVERSIONINFOEXA* pEx = reinterpret_cast<OSVERSIONINFOEXA*>(lpVersionInformation);
        pEx->wServicePackMajor = version.wServicePackMajor;
        pEx->wServicePackMinor = 0;
        pEx->wSuiteMask = version.wSuiteMask;
        pEx->wProductType = version.bProductType;
        pEx->wReserved = 0;
    }
    return TRUE;
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    if (Fails("GetSystemDirectoryA"))
        return 0;
    return CopyDirectory(winsim::detail::SystemDirectory(), lpBuffer, uSize);
}

UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    if (Fails("GetWindowsDirectoryA"))
        return 0;
    return CopyDirectory(winsim::detail::WindowsDirectory(), lpBuffer, uSize);
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (Fails("FindFirstFileA"))
        return INVALID_HANDLE_VALUE;
    if (!lpFindFileData)
        return FailHandle(ERROR_INVALID_PARAMETER);
    if (!lpFileName || !*lpFileName)
        return FailHandle(ERROR_PATH_NOT_FOUND);
    std::string sSpec(lpFileName);
    size_t iSlash = sSpec.find_last_of("\\/");
    std::string sDirectory;
    std::string sPattern;
    if (iSlash != std::string::npos)
    {
        sDirectory = sSpec.substr(0, iSlash + 1);
        sPattern = sSpec.substr(iSlash + 1);
    }
    else if (sSpec.size() >= 2 && sSpec[1] == ':')
    {
        sDirectory = sSpec.substr(0, 2) + "\\";
        sPattern = sSpec.substr(2);
    }
    else
        sPattern = sSpec;
    // "dir\" names no entry at all; "name." is "name", as Wine sees it.
    if (sPattern.find_first_not_of('.') != std::string::npos)
        while (!sPattern.empty() && sPattern.back() == '.')
            sPattern.pop_back();
    if (sPattern.empty())
        return FailHandle(ERROR_FILE_NOT_FOUND);

    std::string sHostDirectory = sDirectory.empty() ? "." : winsim::MapPath(sDirectory);
    struct stat st;
    if (stat(sHostDirectory.c_str(), &st) != 0)
        return FailHandle(ERROR_PATH_NOT_FOUND);
    if (!S_ISDIR(st.st_mode))
        return FailHandle(ERROR_INVALID_NAME);

    std::vector<std::string> vsNames;
    if (sPattern.find_first_of("*?") == std::string::npos)
    {
        // A plain name: the entry itself, under its real spelling.
        std::string sHostPath = winsim::MapPath(sDirectory + sPattern);
        size_t iLast = sHostPath.find_last_of('/');
        std::string sName = iLast == std::string::npos ? sHostPath : sHostPath.substr(iLast + 1);
        if (lstat(sHostPath.c_str(), &st) == 0)
            vsNames.push_back(sPattern == "." || sPattern == ".." ? sPattern : sName);
    }
    else
    {
        DIR* pDir = opendir(sHostDirectory.c_str());
        if (!pDir)
            return FailHandle(winsim::detail::ErrorFromErrno(errno));
        // A drive's root has no "." and ".." entries, as on Windows.
        bool fRoot = IsDriveFolder(sHostDirectory);
        while (dirent* pEntry = readdir(pDir))
        {
            std::string sName(pEntry->d_name);
            if (fRoot && (sName == "." || sName == ".."))
                continue;
            if (MatchesPattern(sPattern, sName))
                vsNames.push_back(sName);
        }
        closedir(pDir);
        std::sort(vsNames.begin(), vsNames.end(),
                  [](const std::string& a, const std::string& b)
                  {
                      bool fDotsA = a == "." || a == "..";
                      bool fDotsB = b == "." || b == "..";
                      if (fDotsA != fDotsB)
                          return fDotsA;
                      int nOrder = winsim::detail::CompareNoCase(a, b);
                      return nOrder != 0 ? nOrder < 0 : a < b;
                  });
    }

    KernelObject search;
    search.eKind = KernelObject::Search;
    for (const std::string& sName : vsNames)
    {
        WIN32_FIND_DATAA data;
        if (FillFindData(sHostDirectory, sName, &data))
            search.vFound.push_back(data);
    }
    if (search.vFound.empty())
        return FailHandle(ERROR_FILE_NOT_FOUND);
    *lpFindFileData = search.vFound[0];
    search.iNext = 1;
    return NewKernelHandle(std::move(search));
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (Fails("FindNextFileA"))
        return FALSE;
    KernelObject* pSearch = FindObject(hFindFile, KernelObject::Search);
    if (!pSearch)
        return FailWith(ERROR_INVALID_HANDLE);
    if (!lpFindFileData)
        return FailWith(ERROR_INVALID_PARAMETER);
    if (pSearch->iNext >= pSearch->vFound.size())
        return FailWith(ERROR_NO_MORE_FILES);
    *lpFindFileData = pSearch->vFound[pSearch->iNext++];
    return TRUE;
}

// As with every close, the handle is gone even when the call reports a failure.
BOOL FindClose(HANDLE hFindFile)
{
    bool fFails = Fails("FindClose");
    if (!FindObject(hFindFile, KernelObject::Search))
        return fFails ? FALSE : FailWith(ERROR_INVALID_HANDLE);
    KernelObjects().erase(reinterpret_cast<uintptr_t>(hFindFile));
    return fFails ? FALSE : TRUE;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes)
{
    (void)lpSecurityAttributes;
    if (Fails("CreateDirectoryA"))
        return FALSE;
    if (!lpPathName || !*lpPathName)
        return FailWith(ERROR_PATH_NOT_FOUND);
    std::string sHostPath = winsim::MapPath(lpPathName);
    if (mkdir(sHostPath.c_str(), 0777) == 0)
        return TRUE;
    if (errno == ENOENT || errno == ENOTDIR)
        return FailWith(ERROR_PATH_NOT_FOUND);
    return FailWith(winsim::detail::ErrorFromErrno(errno));
}

BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue)
{
    if (Fails("SetEnvironmentVariableA"))
        return FALSE;
    if (!lpName || !*lpName || strchr(lpName, '='))
        return FailWith(ERROR_INVALID_PARAMETER);
    int nResult = lpValue ? setenv(lpName, lpValue, 1) : unsetenv(lpName);
    if (nResult != 0)
        return FailWith(winsim::detail::ErrorFromErrno(errno));
    return TRUE;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (Fails("CreateFileA"))
        return INVALID_HANDLE_VALUE;
    if (!lpFileName || !*lpFileName)
        return FailHandle(ERROR_PATH_NOT_FOUND);
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
        return FailHandle(ERROR_INVALID_PARAMETER);
    std::string sHostPath = winsim::MapPath(lpFileName);
    struct stat st;
    bool fExists = stat(sHostPath.c_str(), &st) == 0;
    if (fExists && S_ISDIR(st.st_mode) && !(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS))
        return FailHandle(ERROR_ACCESS_DENIED);
    if (!fExists &&
        (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING))
        return FailHandle(IsDirectory(ParentOf(sHostPath)) ? ERROR_FILE_NOT_FOUND
                                                           : ERROR_PATH_NOT_FOUND);
    if (fExists && dwCreationDisposition == CREATE_NEW)
        return FailHandle(ERROR_FILE_EXISTS);
    if (fExists &&
        !winsim::detail::ShareAllows({st.st_dev, st.st_ino}, dwDesiredAccess, dwShareMode))
        return FailHandle(ERROR_SHARING_VIOLATION);

    int nFlags = O_CLOEXEC;
    bool fRead = winsim::detail::WantsRead(dwDesiredAccess);
    bool fWrite = winsim::detail::WantsWrite(dwDesiredAccess);
    nFlags |= (fRead && fWrite) ? O_RDWR : (fWrite ? O_WRONLY : O_RDONLY);
    if (fExists && S_ISDIR(st.st_mode))
        nFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    else if (dwCreationDisposition == CREATE_NEW)
        nFlags |= O_CREAT | O_EXCL;
    else if (dwCreationDisposition == CREATE_ALWAYS)
        nFlags |= O_CREAT | O_TRUNC;
    else if (dwCreationDisposition == OPEN_ALWAYS)
        nFlags |= O_CREAT;
    else if (dwCreationDisposition == TRUNCATE_EXISTING)
        nFlags |= O_TRUNC;
    int fd = open(sHostPath.c_str(), nFlags, 0666);
    if (fd < 0)
    {
        if (errno == ENOENT)
            return FailHandle(ERROR_PATH_NOT_FOUND);
        if (errno == EEXIST)
            return FailHandle(ERROR_FILE_EXISTS);
        return FailHandle(winsim::detail::ErrorFromErrno(errno));
    }
    fstat(fd, &st);
    KernelObject file;
    file.eKind = KernelObject::File;
    file.fd = fd;
    file.iOpen =
        winsim::detail::RegisterOpenFile({st.st_dev, st.st_ino}, dwDesiredAccess, dwShareMode);
    bool fReportExisting =
        fExists && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
    winsim::detail::SetLastErrorValue(fReportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return NewKernelHandle(std::move(file));
}

BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                 LPFILETIME lpLastWriteTime)
{
    if (Fails("GetFileTime"))
        return FALSE;
    KernelObject* pFile = FindObject(hFile, KernelObject::File);
    if (!pFile)
        return FailWith(ERROR_INVALID_HANDLE);
    struct stat st;
    if (fstat(pFile->fd, &st) != 0)
        return FailWith(winsim::detail::ErrorFromErrno(errno));
    // The host has no creation time; the status change time stands in for it.
    if (lpCreationTime)
        *lpCreationTime = winsim::detail::FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    if (lpLastAccessTime)
        *lpLastAccessTime = winsim::detail::FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
    if (lpLastWriteTime)
        *lpLastWriteTime = winsim::detail::FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    return TRUE;
}

LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2)
{
    if (Fails("CompareFileTime"))
        return 0;
    if (!lpFileTime1 || !lpFileTime2)
        return 0;
    unsigned long long ull1 = (static_cast<unsigned long long>(lpFileTime1->dwHighDateTime) << 32) |
                              lpFileTime1->dwLowDateTime;
    unsigned long long ull2 = (static_cast<unsigned long long>(lpFileTime2->dwHighDateTime) << 32) |
                              lpFileTime2->dwLowDateTime;
    return ull1 < ull2 ? -1 : (ull1 > ull2 ? 1 : 0);
}

BOOL CloseHandle(HANDLE hObject)
{
    bool fFails = Fails("CloseHandle");
    KernelObject* pFile = FindObject(hObject, KernelObject::File);
    if (!pFile)
        return fFails ? FALSE : FailWith(ERROR_INVALID_HANDLE);
    CloseObject(*pFile);
    KernelObjects().erase(reinterpret_cast<uintptr_t>(hObject));
    return fFails ? FALSE : TRUE;
}

// Deleting removes the name only: another name of the same file (a hard link)
// and the data behind it stay. A read-only file and a directory are refused;
// so is a file held open without delete sharing on NT, while the 9x family
// deletes a file in use.
BOOL DeleteFileA(LPCSTR lpFileName)
{
    if (Fails("DeleteFileA"))
        return FALSE;
    if (!lpFileName || !*lpFileName)
        return FailWith(ERROR_PATH_NOT_FOUND);
    std::string sHostPath = winsim::MapPath(lpFileName);
    struct stat st;
    if (lstat(sHostPath.c_str(), &st) != 0)
        return FailWith(IsDirectory(ParentOf(sHostPath)) ? ERROR_FILE_NOT_FOUND
                                                         : ERROR_PATH_NOT_FOUND);
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)))
        return FailWith(ERROR_ACCESS_DENIED);
    if (winsim::detail::IsNtPlatform() &&
        !winsim::detail::ShareAllowsDelete({st.st_dev, st.st_ino}))
        return FailWith(ERROR_SHARING_VIOLATION);
    if (unlink(sHostPath.c_str()) != 0)
        return FailWith(winsim::detail::ErrorFromErrno(errno));
    return TRUE;
}

// The runtime's argument vector; the host main fills it in.
int __argc = 0;
char** __argv = nullptr;

int winsim::OpenFileCount()
{
    return static_cast<int>(KernelObjects().size()) + detail::OpenStreamCount();
}
