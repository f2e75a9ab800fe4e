#include "qvzvesk_log.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <new>

namespace
{
const std::string::size_type npos = std::string::npos;

// The log formats with the C runtime DLL's own printf. MinGW's C++ library
// turns the plain names into MinGW's printf, so on Windows the DLL's functions
// are called by the names MinGW gives them.
#if defined(_WIN32)
#define RUNTIME_PRINTF(name) __ms_##name
#else
#define RUNTIME_PRINTF(name) name
#endif

int RuntimeVfprintf(FILE* pFile, const char* pszFormat, va_list vaArgs)
{
    return RUNTIME_PRINTF(vfprintf)(pFile, pszFormat, vaArgs);
}
int RuntimeVsprintf(char* pszBuffer, const char* pszFormat, va_list vaArgs)
{
    return RUNTIME_PRINTF(vsprintf)(pszBuffer, pszFormat, vaArgs);
}
int RuntimeWriteLine(FILE* pFile, const char* pszText)
{
    return RUNTIME_PRINTF(fprintf)(pFile, "%s\n", pszText);
}
} // namespace

CLogFile::CLogFile()
    : m_dwLevel(0), m_dwFlags(0), m_dwOpenFlags(0), m_fEnabled(false), m_pFile(nullptr),
      m_fScanned(false), m_atSeen()
{
}

CLogFile::~CLogFile()
{
    Close();
}

bool CLogFile::Open(const std::string& sFileName, DWORD dwLevel, DWORD dwFlags)
{
    Close();
    if (sFileName.empty())
    {
        return false;
    }
    m_sFileName = sFileName;
    m_dwLevel = dwLevel;
    m_dwFlags = dwFlags;
    m_dwOpenFlags = dwFlags;
    return WriteHeader();
}

void CLogFile::Close()
{
    if (m_pFile != nullptr)
    {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    m_sFileName.clear();
    m_sOpenFileName.clear();
    m_dwLevel = 0;
    m_dwFlags = 0;
    m_dwOpenFlags = 0;
    m_fEnabled = false;
    m_fScanned = false;
}

bool CLogFile::LogMessage(DWORD dwLevel, const char* pszFormat, ...)
{
    if (!m_fEnabled || dwLevel > m_dwLevel || pszFormat == nullptr)
    {
        return false;
    }
    std::string sLine;
    if (m_dwFlags & LOG_FLAG_TIMESTAMP)
    {
        sLine = "[" + GetTimestamp() + "]: ";
    }
    va_list vaArgs;
    va_start(vaArgs, pszFormat);
    sLine += FormatV(pszFormat, vaArgs);
    va_end(vaArgs);
    return WriteLine(sLine);
}

bool CLogFile::LogError(DWORD dwLevel, const char* pszSourceFile, int nLine, const char* pszFormat,
                        ...)
{
    if (!m_fEnabled || dwLevel > m_dwLevel || pszSourceFile == nullptr || pszFormat == nullptr)
    {
        return false;
    }
    std::string sText = "[";
    if (m_dwFlags & LOG_FLAG_TIMESTAMP)
    {
        sText += GetTimestamp() + ", ";
    }
    sText += (m_dwFlags & LOG_FLAG_FULL_SOURCE_PATH) ? std::string(pszSourceFile)
                                                     : FileNamePart(pszSourceFile);
    sText += ", Line " + Format("%d", nLine) + "]: ";
    va_list vaArgs;
    va_start(vaArgs, pszFormat);
    sText += FormatV(pszFormat, vaArgs);
    va_end(vaArgs);
    return WriteLine(sText);
}

bool CLogFile::WriteHeader()
{
    if (m_fEnabled)
    {
        return true;
    }
    // The header carries the timestamp whatever the flags say: it is the one
    // place a reader learns when the run happened.
    if (WriteLine("\n**** " + GetTimestamp() + " - Logging Enabled ****\n"))
    {
        m_fEnabled = true;
    }
    return m_fEnabled;
}

bool CLogFile::WriteLine(const std::string& sText)
{
    if (sText.empty())
    {
        return false;
    }

    if (((m_dwFlags ^ m_dwOpenFlags) & LOG_FLAG_NUMBERED) != 0 || m_sFileName != m_sOpenFileName)
    {
        if (m_pFile != nullptr)
        {
            fclose(m_pFile);
            m_pFile = nullptr;
        }
        m_dwOpenFlags = m_dwFlags;
    }

    if (m_pFile == nullptr)
    {
        // Once the directory and the number are settled, a file that cannot be
        // created still counts as handled: the next line then tries the next
        // number instead of giving up on the log.
        bool fResult = false;
        if (!(m_dwFlags & LOG_FLAG_NO_TEMP_DIR))
        {
            std::string sDirectory;
            fResult = GetTempDirectory(&sDirectory);
            if (!fResult)
            {
                return false;
            }
            m_sFileName = sDirectory + FileNamePart(m_sFileName);
        }
        if (m_dwFlags & LOG_FLAG_NUMBERED)
        {
            fResult = NextNumberedName();
            if (!fResult)
            {
                return false;
            }
        }
        if (m_sFileName.empty())
        {
            return fResult;
        }
        m_sOpenFileName = m_sFileName;
        if (!OpenStream())
        {
            return fResult;
        }
        if (RuntimeWriteLine(m_pFile, sText.c_str()) < 0)
        {
            return fResult;
        }
        fflush(m_pFile);
        return true;
    }

    if (RuntimeWriteLine(m_pFile, sText.c_str()) < 0)
    {
        return false;
    }
    fflush(m_pFile);
    return true;
}

bool CLogFile::NextNumberedName()
{
    int nNumber = 0;
    if (!ChooseFileNumber(&nNumber))
    {
        return false;
    }
    // Without its number the name would be another file's.
    const std::string sNumber = Format("%2.2d", nNumber);
    if (sNumber.empty())
    {
        return false;
    }
    m_sFileName = DirectoryPart(m_sFileName) + BaseNameWithoutNumber(m_sFileName) + sNumber +
                  ExtensionPart(m_sFileName);
    return true;
}

bool CLogFile::OpenStream()
{
    if (m_dwFlags & LOG_FLAG_APPEND)
    {
        m_pFile = fopen(m_sFileName.c_str(), "a");
        return m_pFile != nullptr;
    }
    // The temp directory may be shared with every user of the machine, and
    // the log's names are easy to guess: a file planted under one (a hard
    // link to a file only we may write, or a file of the planter's own that
    // he can read and change) must never receive the log. So the log is
    // always a file this run creates. An old log under the name is deleted
    // first, which removes that name only, never a file it links to. A name
    // that cannot be had (planted, in use, or the new log of a run going on
    // at the same moment) gives way to the next number, once round at most.
    const std::string sFirstName = m_sFileName;
    const int nTries = (m_dwFlags & LOG_FLAG_NUMBERED) ? 100 : 1;
    for (int iTry = 0; iTry < nTries; ++iTry)
    {
        if (iTry > 0 && !NextNumberedName())
        {
            break;
        }
        m_pFile = CreateNewStream(m_sFileName);
        if (m_pFile == nullptr && MayDelete(m_sFileName) && DeleteFileA(m_sFileName.c_str()))
        {
            m_pFile = CreateNewStream(m_sFileName);
        }
        if (m_pFile != nullptr)
        {
            m_sOpenFileName = m_sFileName;
            return true;
        }
    }
    // As when a file cannot be created: the next line starts over after the
    // first number.
    m_sFileName = sFirstName;
    return false;
}

HANDLE CLogFile::OpenUnshared(const std::string& sPath)
{
    return CreateFileA(sPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Only a file the number scan saw, and that nobody holds open, is an old log
// to delete: a file made under the name since the scan may be the new log of
// another run (which may even have finished already), and Windows 95 would
// delete a file in use. Where no scan was made (a name configured with its
// number, or without one), an idle file under the name is the old log.
bool CLogFile::MayDelete(const std::string& sPath) const
{
    HANDLE hFile = OpenUnshared(sPath);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    bool fMayDelete = true;
    if (m_fScanned)
    {
        const SeenFile& tSeen = m_atSeen[atoi(NumberPart(sPath).c_str()) % 100];
        FILETIME ftCreation;
        FILETIME ftWrite;
        fMayDelete = tSeen.fSeen && GetFileTime(hFile, &ftCreation, nullptr, &ftWrite) &&
                     CompareFileTime(&ftCreation, &tSeen.ftCreation) == 0 &&
                     CompareFileTime(&ftWrite, &tSeen.ftWrite) == 0;
    }
    CloseHandle(hFile);
    return fMayDelete;
}

FILE* CLogFile::CreateNewStream(const std::string& sPath)
{
    int nFile =
        _open(sPath.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT, _S_IREAD | _S_IWRITE);
    if (nFile == -1)
    {
        return nullptr;
    }
    FILE* pFile = _fdopen(nFile, "w");
    if (pFile == nullptr)
    {
        // Leave no empty file of ours behind under a name another try may want.
        _close(nFile);
        DeleteFileA(sPath.c_str());
    }
    return pFile;
}

std::string CLogFile::Format(const char* pszFormat, ...)
{
    va_list vaArgs;
    va_start(vaArgs, pszFormat);
    std::string sText = FormatV(pszFormat, vaArgs);
    va_end(vaArgs);
    return sText;
}

std::string CLogFile::FormatV(const char* pszFormat, va_list vaArgs)
{
    if (pszFormat == nullptr)
    {
        return std::string();
    }
    // Measure the expansion by printing it to the null device, then format
    // into a buffer of exactly that size: no line is ever cut short.
    FILE* pNull = fopen("nul", "w");
    if (pNull == nullptr)
    {
        return std::string();
    }
    std::string sText;
    va_list vaCount;
    va_copy(vaCount, vaArgs);
    int nCount = RuntimeVfprintf(pNull, pszFormat, vaCount);
    va_end(vaCount);
    char* pszBuffer = nullptr;
    if (nCount != -1)
    {
        pszBuffer = new (std::nothrow) char[static_cast<std::size_t>(nCount) + 1];
        if (pszBuffer != nullptr)
        {
            va_list vaPrint;
            va_copy(vaPrint, vaArgs);
            RuntimeVsprintf(pszBuffer, pszFormat, vaPrint);
            va_end(vaPrint);
            sText = pszBuffer;
        }
    }
    fclose(pNull);
    delete[] pszBuffer;
    return sText;
}

std::string CLogFile::GetTimestamp()
{
    std::string sTimestamp = "Unknown";
    time_t tNow = time(nullptr);
    if (tNow != static_cast<time_t>(-1))
    {
        const char* pszTime = ctime(&tNow);
        if (pszTime != nullptr)
        {
            sTimestamp = pszTime;
            std::string::size_type iNewline = sTimestamp.find('\n');
            if (iNewline != npos)
            {
                sTimestamp.erase(iNewline);
            }
        }
    }
    return sTimestamp;
}

bool CLogFile::GetTempDirectory(std::string* psDirectory)
{
    const char* pszTemp = getenv("TEMP");
    std::string sCandidate = pszTemp != nullptr ? pszTemp : "";
    if (sCandidate.empty())
    {
        const char* pszTmp = getenv("TMP");
        sCandidate = pszTmp != nullptr ? pszTmp : "";
    }
    if (sCandidate.empty())
    {
        char szWindows[MAX_PATH] = {0};
        if (GetWindowsDirectoryA(szWindows, MAX_PATH) == 0)
        {
            return false;
        }
        sCandidate = std::string(szWindows).substr(0, 3) + "TEMP";
    }
    if (!PathExists(sCandidate))
    {
        if (!CreateDirectoryA(sCandidate.c_str(), nullptr))
        {
            return false;
        }
    }
    if (!PathExists(sCandidate))
    {
        return false;
    }
    if (getenv("TMP") == nullptr)
    {
        if (!SetEnvironmentVariableA("TMP", sCandidate.c_str()))
        {
            return false;
        }
    }
    if (sCandidate[sCandidate.length() - 1] != '\\')
    {
        sCandidate += '\\';
    }
    *psDirectory = sCandidate;
    return true;
}

bool CLogFile::PathExists(const std::string& sPath)
{
    if (sPath.empty())
    {
        return false;
    }
    WIN32_FIND_DATAA tFindData;
    HANDLE hFind = FindFirstFileA(sPath.c_str(), &tFindData);
    if (hFind == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    FindClose(hFind);
    return true;
}

bool CLogFile::ChooseFileNumber(int* pnNumber)
{
    if (m_sFileName.empty())
    {
        return false;
    }
    std::string sNumber = NumberPart(m_sFileName);
    if (!sNumber.empty())
    {
        // A name that already carries a number moves on to the next one
        // without a scan: this is how a file that could not be created is
        // retried under a new name.
        *pnNumber = (atoi(sNumber.c_str()) + 1) % 100;
        return true;
    }
    std::string sBaseName = BaseNameWithoutNumber(m_sFileName);
    if (sBaseName.empty())
    {
        return false;
    }
    std::string sDirectory = DirectoryPart(m_sFileName);
    std::string sExtension = ExtensionPart(m_sFileName);

    m_fScanned = true;
    for (SeenFile& tSeen : m_atSeen)
    {
        tSeen.fSeen = false;
    }
    FILETIME ftEarliest;
    ftEarliest.dwHighDateTime = 0x7FFFFFFF;
    ftEarliest.dwLowDateTime = 0xFFFFFFFF;
    int nEarliest = 0;
    for (int i = 0; i < 100; ++i)
    {
        // A candidate whose number could not be printed names no file of
        // ours: probing it would take an existing log for a free number.
        const std::string sNumber = Format("%2.2d", i);
        if (sNumber.empty())
        {
            return false;
        }
        std::string sCandidate = sDirectory + sBaseName + sNumber + sExtension;
        HANDLE hFile = OpenUnshared(sCandidate);
        if (hFile == INVALID_HANDLE_VALUE)
        {
            *pnNumber = i;
            return true;
        }
        FILETIME ftAccess;
        SeenFile& tSeen = m_atSeen[i];
        BOOL fHaveTime = GetFileTime(hFile, &tSeen.ftCreation, &ftAccess, &tSeen.ftWrite);
        tSeen.fSeen = fHaveTime != FALSE;
        CloseHandle(hFile);
        if (fHaveTime && CompareFileTime(&ftAccess, &ftEarliest) < 0)
        {
            ftEarliest = ftAccess;
            nEarliest = i;
        }
    }
    // All hundred exist: reuse the least recently accessed one.
    *pnNumber = nEarliest;
    return true;
}

std::string CLogFile::FileNamePart(const std::string& sPath)
{
    std::string::size_type iSlash = sPath.rfind('\\');
    if (iSlash == npos || iSlash + 1 == sPath.length())
    {
        return sPath;
    }
    return sPath.substr(iSlash + 1);
}

std::string CLogFile::DirectoryPart(const std::string& sPath)
{
    std::string::size_type iSlash = sPath.rfind('\\');
    if (iSlash == npos)
    {
        return std::string();
    }
    return sPath.substr(0, iSlash + 1);
}

std::string CLogFile::BaseNamePart(const std::string& sPath)
{
    std::string sFileName = FileNamePart(sPath);
    std::string::size_type iDot = sFileName.rfind('.');
    if (iDot == npos)
    {
        return sFileName;
    }
    return sFileName.substr(0, iDot);
}

std::string CLogFile::ExtensionPart(const std::string& sPath)
{
    std::string sFileName = FileNamePart(sPath);
    std::string::size_type iDot = sFileName.rfind('.');
    if (iDot == npos)
    {
        return std::string();
    }
    std::string sExtension = sFileName.substr(iDot);
    if (sExtension.length() < 2)
    {
        return std::string();
    }
    return sExtension;
}

std::string CLogFile::NumberPart(const std::string& sPath)
{
    std::string sBaseName = BaseNamePart(sPath);
    std::string::size_type nLength = sBaseName.length();
    if (nLength >= 2 && isdigit(static_cast<unsigned char>(sBaseName[nLength - 2])) &&
        isdigit(static_cast<unsigned char>(sBaseName[nLength - 1])))
    {
        return sBaseName.substr(nLength - 2);
    }
    return std::string();
}

std::string CLogFile::BaseNameWithoutNumber(const std::string& sPath)
{
    std::string sBaseName = BaseNamePart(sPath);
    if (NumberPart(sPath).empty())
    {
        return sBaseName;
    }
    if (sBaseName.length() > 2)
    {
        return sBaseName.substr(0, sBaseName.length() - 2);
    }
    return std::string();
}
