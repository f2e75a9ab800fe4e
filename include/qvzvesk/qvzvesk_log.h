// The diagnostic log: one numbered text file in the temp directory, one line
// per message or failure report, each flushed at once.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#if defined(__GNUC__)
#define QVZ_PRINTF_FORMAT(iFormat, iFirstArg) __attribute__((format(printf, iFormat, iFirstArg)))
#else
#define QVZ_PRINTF_FORMAT(iFormat, iFirstArg)
#endif

enum
{
    LOG_FLAG_NUMBERED = 0x01,
    LOG_FLAG_APPEND = 0x02,
    LOG_FLAG_NO_TEMP_DIR = 0x04,
    LOG_FLAG_TIMESTAMP = 0x08,
    LOG_FLAG_FULL_SOURCE_PATH = 0x10
};

class CLogFile
{
public:
    CLogFile();
    ~CLogFile();

    bool Open(const std::string& sFileName, DWORD dwLevel, DWORD dwFlags);
    void Close();

    bool LogMessage(DWORD dwLevel, const char* pszFormat, ...) QVZ_PRINTF_FORMAT(3, 4);
    bool LogError(DWORD dwLevel, const char* pszSourceFile, int nLine, const char* pszFormat, ...)
        QVZ_PRINTF_FORMAT(5, 6);

    // The path-part helpers are public so they can be checked on their own.
    static std::string FileNamePart(const std::string& sPath);
    static std::string DirectoryPart(const std::string& sPath);
    static std::string BaseNamePart(const std::string& sPath);
    static std::string ExtensionPart(const std::string& sPath);
    static std::string NumberPart(const std::string& sPath);
    static std::string BaseNameWithoutNumber(const std::string& sPath);

private:
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    bool WriteHeader();
    bool WriteLine(const std::string& sText);
    static std::string Format(const char* pszFormat, ...) QVZ_PRINTF_FORMAT(1, 2);
    static std::string FormatV(const char* pszFormat, va_list vaArgs);
    static std::string GetTimestamp();
    static bool GetTempDirectory(std::string* psDirectory);
    static bool PathExists(const std::string& sPath);
    bool ChooseFileNumber(int* pnNumber);
    // Gives m_sFileName the number ChooseFileNumber picks.
    bool NextNumberedName();
    // Opens m_pFile on m_sFileName, or on a later number when that name
    // cannot be created afresh; m_sFileName then names the file opened.
    bool OpenStream();
    static FILE* CreateNewStream(const std::string& sPath);
    // The file, opened for reading without sharing: it exists and nobody
    // holds it open. INVALID_HANDLE_VALUE otherwise.
    static HANDLE OpenUnshared(const std::string& sPath);
    bool MayDelete(const std::string& sPath) const;

    // What the number scan found under each number: a file nobody held open,
    // told apart from any file made there since by its times.
    struct SeenFile
    {
        bool fSeen;
        FILETIME ftCreation;
        FILETIME ftWrite;
    };

    std::string m_sFileName;
    std::string m_sOpenFileName;
    DWORD m_dwLevel;
    DWORD m_dwFlags;
    DWORD m_dwOpenFlags;
    bool m_fEnabled;
    FILE* m_pFile;
    bool m_fScanned;
    SeenFile m_atSeen[100];
};

// The one log of the process, defined by the entry module.
extern CLogFile g_LogFile;

// Logs a failed check: the calling module's source path (s_szSourcePath, one
// constant per module), the line and the condition as it is spelled in the
// source. The condition is always an argument, never a format.
#define REPORT_FAILURE(szCondition)                                                                \
    g_LogFile.LogError(0, s_szSourcePath, __LINE__, "Error --> %s", szCondition)
