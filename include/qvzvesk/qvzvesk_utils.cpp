#include "qvzvesk_utils.h"

#include <windows.h>

#include <cstring>

#include "qvzvesk_log.h"
#include "qvzvesk_names.h"
#include "qvzvesk_registry.h"

static const char s_szSourcePath[] = "..\\..\\include\\qvzvesk\\qvzvesk_utils.cpp";

bool FindCmdLineVar(const CQvCiString& sCmdLine, const CQvCiString& sKey, CQvCiString* psValue)
{
    if (sCmdLine.empty())
    {
        REPORT_FAILURE("sCmdLine.empty()");
        return false;
    }
    if (sKey.empty())
    {
        REPORT_FAILURE("sKey.empty()");
        return false;
    }
    if (psValue == 0)
    {
        REPORT_FAILURE("psValue == 0");
        return false;
    }

    // The Vesk neither quotes nor escapes, and values may hold blanks: a value
    // runs up to the dash that starts the next "name=".
    const CQvCiString sSearch = sKey + "=";
    CQvCiString::size_type isCmdLine = sCmdLine.find(sSearch);
    if (isCmdLine == CQvCiString::npos)
    {
        return false;
    }
    isCmdLine += sSearch.length();
    if (isCmdLine >= sCmdLine.length())
    {
        REPORT_FAILURE("isCmdLine >= sCmdLine.length()");
        return false;
    }
    isCmdLine = sCmdLine.find_first_not_of(' ', isCmdLine);
    if (isCmdLine == CQvCiString::npos)
    {
        REPORT_FAILURE("isCmdLine == CQvCiString::npos");
        return false;
    }
    CQvCiString sValue = sCmdLine.substr(isCmdLine);
    if (sValue.empty())
    {
        REPORT_FAILURE("sValue.empty()");
        return false;
    }
    CQvCiString::size_type isValue = sValue.find('=');
    if (isValue != CQvCiString::npos)
    {
        sValue.erase(isValue);
        isValue = sValue.rfind('-');
        if (isValue == CQvCiString::npos)
        {
            REPORT_FAILURE("isValue == CQvCiString::npos");
            return false;
        }
        sValue.erase(isValue);
        // npos + 1 is 0: a value of blanks only becomes empty.
        sValue.erase(sValue.find_last_not_of(' ') + 1);
    }
    *psValue = sValue;
    return true;
}

bool GetParameter(const CQvCiString& sCmdLine, const CQvCiString& sDriverName,
                  const CQvCiString& sParameterName, CQvCiString* psParameterValue)
{
    if (sParameterName.empty())
    {
        REPORT_FAILURE("sParameterName.empty()");
        return false;
    }
    if (psParameterValue == 0)
    {
        REPORT_FAILURE("psParameterValue == 0");
        return false;
    }
    CQvCiString sParameterValue;
    if (!FindCmdLineVar(sCmdLine, sParameterName, &sParameterValue))
    {
        if (sDriverName.empty())
        {
            REPORT_FAILURE("sDriverName.empty()");
            return false;
        }
        const CQvCiString sRegKeyVeskDriver = g_sRegKeyVesk + "\\" + sDriverName;
        if (!RegGetStringValue(sRegKeyVeskDriver, sParameterName, &sParameterValue, false,
                               HKEY_LOCAL_MACHINE))
        {
            return false;
        }
    }
    if (sParameterValue.empty())
    {
        REPORT_FAILURE("sParameterValue.empty()");
        return false;
    }
    *psParameterValue = sParameterValue;
    return true;
}

bool IsParameterSet(const CQvCiString& sCmdLine, const CQvCiString& sDriverName,
                    const CQvCiString& sParameterName)
{
    CQvCiString sParameterValue;
    return GetParameter(sCmdLine, sDriverName, sParameterName, &sParameterValue);
}

bool FileExists(const CQvCiString& sPath)
{
    if (sPath.empty())
    {
        return false;
    }
    // A directory given with its trailing backslash is probed through its
    // contents.
    CQvCiString sProbe = sPath;
    if (sProbe[sProbe.length() - 1] == '\\')
    {
        sProbe += "*";
    }
    WIN32_FIND_DATAA tFindData;
    HANDLE hFind = FindFirstFileA(sProbe.c_str(), &tFindData);
    if (hFind == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    FindClose(hFind);
    return true;
}

bool GetSystemPath(CQvCiString* psSystemPath)
{
    if (psSystemPath == 0)
    {
        REPORT_FAILURE("psSystemPath == 0");
        return false;
    }
    char szBuffer[_MAX_PATH] = {0};
    // A result that does not fit the buffer is as useless as none at all.
    UINT cchSystemPath = GetSystemDirectoryA(szBuffer, _MAX_PATH);
    if (cchSystemPath == 0 || cchSystemPath >= _MAX_PATH)
    {
        REPORT_FAILURE("GetSystemDirectory( szBuffer, _MAX_PATH ) == 0");
        return false;
    }
    CQvCiString sSystemPath = szBuffer;
    if (sSystemPath.empty())
    {
        REPORT_FAILURE("sSystemPath.empty()");
        return false;
    }
    if (sSystemPath[sSystemPath.length() - 1] != '\\')
    {
        sSystemPath += '\\';
    }
    *psSystemPath = sSystemPath;
    return true;
}

OsVersionType GetOsVersion()
{
    OSVERSIONINFOA tOsVersion;
    memset(&tOsVersion, 0, sizeof(tOsVersion));
    tOsVersion.dwOSVersionInfoSize = sizeof(tOsVersion);
    if (GetVersionExA(&tOsVersion) == 0)
    {
        REPORT_FAILURE("GetVersionEx( &tOsVersion ) == 0");
        return OsVersionType_Unknown;
    }
    if (tOsVersion.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
    {
        switch (tOsVersion.dwMinorVersion)
        {
        case 0:
            return OsVersionType_Win95;
        case 10:
            return OsVersionType_Win98;
        case 90:
            return OsVersionType_WinME;
        default:
            return OsVersionType_Unknown;
        }
    }
    if (tOsVersion.dwPlatformId == VER_PLATFORM_WIN32_NT)
    {
        if (tOsVersion.dwMajorVersion < 4)
        {
            REPORT_FAILURE("tOsVersion.dwMajorVersion < 4");
            return OsVersionType_Unknown;
        }
        if (tOsVersion.dwMajorVersion == 4)
        {
            return OsVersionType_WinNT4;
        }
        return tOsVersion.dwMinorVersion == 0 ? OsVersionType_Win2K : OsVersionType_WinXP;
    }
    REPORT_FAILURE("(tOsVersion.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS) && "
                   "(tOsVersion.dwPlatformId != VER_PLATFORM_WIN32_NT)");
    return OsVersionType_Unknown;
}
