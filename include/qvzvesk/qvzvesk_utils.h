// Command-line parameters and small queries of the running system.
#pragma once

#include "qvzvesk_string.h"

enum OsVersionType
{
    OsVersionType_Win95 = 0,
    OsVersionType_Win98 = 1,
    OsVersionType_WinME = 2,
    OsVersionType_WinNT4 = 3,
    OsVersionType_Win2K = 4,
    OsVersionType_WinXP = 5,
    OsVersionType_Unknown = 6
};

// A parameter is written "-name=value"; see FindCmdLineVar for how the value
// is cut out of the line.
bool FindCmdLineVar(const CQvCiString& sCmdLine, const CQvCiString& sKey, CQvCiString* psValue);
bool GetParameter(const CQvCiString& sCmdLine, const CQvCiString& sDriverName,
                  const CQvCiString& sParameterName, CQvCiString* psParameterValue);
bool IsParameterSet(const CQvCiString& sCmdLine, const CQvCiString& sDriverName,
                    const CQvCiString& sParameterName);

bool FileExists(const CQvCiString& sPath);
bool GetSystemPath(CQvCiString* psSystemPath);
OsVersionType GetOsVersion();
