// Value search of the registry module: depth first, pre-order, for the first
// key whose named string value holds a given text.
#include "qvzvesk_registry.h"

#include <new>

#include "qvzvesk_log.h"

static const char s_szSourcePath[] = "..\\..\\include\\qvzvesk\\qvzvesk_registry.cpp";

static const DWORD s_cchSubkeyName = _MAX_PATH + 1;

bool RegFindValueData(const CQvCiString& sPath, const CQvCiString& sValueName,
                      const CQvCiString& sValueData, CQvCiString* psLocation, HKEY hkRoot,
                      bool fPartialValueSearch)
{
    LONG lResult = ERROR_SUCCESS;
    bool fFound = true;
    if (sPath.empty())
    {
        REPORT_FAILURE("sPath.empty()");
        return false;
    }
    if (sValueName.empty())
    {
        REPORT_FAILURE("sValueName.empty()");
        return false;
    }
    if (sValueData.empty())
    {
        REPORT_FAILURE("sValueData.empty()");
        return false;
    }
    if (psLocation == 0)
    {
        REPORT_FAILURE("psLocation == 0");
        return false;
    }
    if (hkRoot == 0)
    {
        REPORT_FAILURE("hkRoot == 0");
        return false;
    }

    HKEY hRegKey = 0;
    bool fResult = false;
    do
    {
        lResult = RegOpenKeyExA(hkRoot, sPath.c_str(), 0, KEY_READ, &hRegKey);
        if (lResult != ERROR_SUCCESS)
        {
            hRegKey = 0;
            REPORT_FAILURE("lResult != ERROR_SUCCESS");
            break;
        }
        if (hRegKey == 0)
        {
            REPORT_FAILURE("hRegKey == 0");
            break;
        }
        fFound = RegFindValueData(hRegKey, sPath, sValueName, sValueData, psLocation,
                                  fPartialValueSearch);
        if (fFound == false)
        {
            REPORT_FAILURE("(fFound = RegFindValueData( hRegKey, sPath, sValueName, sValueData, "
                           "psLocation, fPartialValueSearch )) == false");
            break;
        }
        if (psLocation->empty())
        {
            REPORT_FAILURE("psLocation->empty()");
            break;
        }
        fResult = true;
        g_LogFile.LogMessage(0, "RegFindValueData (%s, %s, %s) Success, *psLocation = %s",
                             sPath.c_str(), sValueName.c_str(), sValueData.c_str(),
                             psLocation->c_str());
    } while (false);

    if (hRegKey != 0)
    {
        RegCloseKey(hRegKey);
    }
    if (lResult != ERROR_SUCCESS || !fFound)
    {
        g_LogFile.LogMessage(0, "RegFindValueData (%s, %s, %s) Failed, lResult = %d, fFound = %d",
                             sPath.c_str(), sValueName.c_str(), sValueData.c_str(),
                             static_cast<int>(lResult), fFound ? 1 : 0);
    }
    return fResult;
}

// Tests the open key's own value. Returns false only when reading a value of
// a matching type failed; *pfMatch tells whether it matched.
static bool ValueMatches(HKEY hRegKey, const CQvCiString& sValueName, const CQvCiString& sValueData,
                         bool fPartialValueSearch, bool* pfMatch)
{
    *pfMatch = false;
    DWORD dwType = 0;
    DWORD cbData = 0;
    LONG lResult = RegQueryValueExA(hRegKey, sValueName.c_str(), 0, &dwType, 0, &cbData);
    if (lResult != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_MULTI_SZ) || cbData == 0)
    {
        return true;
    }
    BYTE* pbData = new (std::nothrow) BYTE[cbData];
    if (pbData == 0)
    {
        REPORT_FAILURE("pbData == 0");
        return false;
    }
    lResult = RegQueryValueExA(hRegKey, sValueName.c_str(), 0, &dwType, pbData, &cbData);
    if (lResult != ERROR_SUCCESS)
    {
        REPORT_FAILURE("(lResult = RegQueryValueEx( hRegKey, sValueName.c_str(), 0, &dwType, "
                       "pbData, &cbData )) != ERROR_SUCCESS");
        delete[] pbData;
        return false;
    }
    // Only the text up to the first NUL counts: of a multi-string, its first
    // string.
    DWORD cchText = 0;
    while (cchText < cbData && pbData[cchText] != 0)
    {
        ++cchText;
    }
    CQvCiString sText(reinterpret_cast<const char*>(pbData), cchText);
    delete[] pbData;

    if (sValueData.empty())
    {
        *pfMatch = true;
    }
    else if (fPartialValueSearch)
    {
        *pfMatch = sText.find(sValueData) != CQvCiString::npos;
    }
    else
    {
        *pfMatch = sText.compare(sValueData) == 0;
    }
    return true;
}

bool RegFindValueData(HKEY hRegKey, const CQvCiString& sPath, const CQvCiString& sValueName,
                      const CQvCiString& sValueData, CQvCiString* psLocation,
                      bool fPartialValueSearch)
{
    if (hRegKey == 0)
    {
        REPORT_FAILURE("hRegKey == 0");
        return false;
    }
    if (sPath.empty())
    {
        REPORT_FAILURE("sPath.empty()");
        return false;
    }
    if (sValueName.empty())
    {
        REPORT_FAILURE("sValueName.empty()");
        return false;
    }
    if (psLocation == 0)
    {
        REPORT_FAILURE("psLocation == 0");
        return false;
    }

    DWORD nSubkeys = 0;
    LONG lResult = RegQueryInfoKeyA(hRegKey, 0, 0, 0, &nSubkeys, 0, 0, 0, 0, 0, 0, 0);
    if (lResult != ERROR_SUCCESS)
    {
        REPORT_FAILURE("(lResult = RegQueryInfoKey( hRegKey, 0, 0, 0, &nSubkeys, 0, 0, 0, 0, 0, "
                       "0, 0 )) != ERROR_SUCCESS");
        return false;
    }

    bool fMatch = false;
    if (!ValueMatches(hRegKey, sValueName, sValueData, fPartialValueSearch, &fMatch))
    {
        return false;
    }
    if (fMatch)
    {
        *psLocation = sPath;
        return true;
    }

    for (DWORD iSubkey = 0; iSubkey < nSubkeys; ++iSubkey)
    {
        char* pszSubkeyName = new (std::nothrow) char[s_cchSubkeyName];
        if (pszSubkeyName == 0)
        {
            REPORT_FAILURE("pszSubkeyName == 0");
            return false;
        }
        lResult = RegEnumKeyA(hRegKey, iSubkey, pszSubkeyName, s_cchSubkeyName);
        if (lResult != ERROR_SUCCESS)
        {
            REPORT_FAILURE("(lResult = RegEnumKey( hRegKey, iSubkey, pszSubkeyName, _MAX_PATH + 1 "
                           ")) != ERROR_SUCCESS");
            delete[] pszSubkeyName;
            return false;
        }
        HKEY hRegSubkey = 0;
        lResult = RegOpenKeyExA(hRegKey, pszSubkeyName, 0, KEY_READ, &hRegSubkey);
        if (lResult != ERROR_SUCCESS)
        {
            REPORT_FAILURE("(lResult = RegOpenKeyEx( hRegKey, pszSubkeyName, 0, KEY_READ, "
                           "&hRegSubkey )) != ERROR_SUCCESS");
            delete[] pszSubkeyName;
            return false;
        }
        if (hRegSubkey == 0)
        {
            REPORT_FAILURE("hRegSubkey == 0");
            delete[] pszSubkeyName;
            return false;
        }
        CQvCiString sNewPath = sPath + "\\" + pszSubkeyName;
        delete[] pszSubkeyName;
        if (sNewPath.empty())
        {
            REPORT_FAILURE("sNewPath.empty()");
            RegCloseKey(hRegSubkey);
            return false;
        }
        bool fFoundBelow = RegFindValueData(hRegSubkey, sNewPath, sValueName, sValueData,
                                            psLocation, fPartialValueSearch);
        RegCloseKey(hRegSubkey);
        if (fFoundBelow)
        {
            return true;
        }
    }
    return false;
}
