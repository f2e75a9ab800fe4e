// The registry module: path-based value access, key deletion and value
// search. Each operation opens (or creates) the keys it needs and closes them
// again before it returns.
#include "qvzvesk_registry.h"

#include <new>

#include "qvzvesk_log.h"

static const char s_szSourcePath[] = "..\\..\\include\\qvzvesk\\qvzvesk_registry.cpp";

// A subkey name buffer: the longest name the enumeration returns, and its NUL.
static const DWORD s_cchSubkeyName = _MAX_PATH + 1;

// ---- Value access -----------------------------------------------------------

bool RegGetStringValue(const CQvCiString& sPath, const CQvCiString& sValueName,
                       CQvCiString* psValueData, bool fLogFailure, HKEY hkRoot)
{
    LONG lResult = ERROR_SUCCESS;
    HKEY hRegKey = 0;
    BYTE* pbData = nullptr;
    bool fResult = false;
    do
    {
        if (sPath.empty())
        {
            REPORT_FAILURE("sPath.empty()");
            break;
        }
        if (sValueName.empty())
        {
            REPORT_FAILURE("sValueName.empty()");
            break;
        }
        if (psValueData == 0)
        {
            REPORT_FAILURE("psValueData == 0");
            break;
        }
        if (hkRoot == 0)
        {
            REPORT_FAILURE("hkRoot == 0");
            break;
        }
        lResult = RegOpenKeyExA(hkRoot, sPath.c_str(), 0, KEY_READ, &hRegKey);
        if (lResult != ERROR_SUCCESS)
        {
            hRegKey = 0;
            REPORT_FAILURE("lResult != ERROR_SUCCESS");
            break;
        }
        DWORD dwType = 0;
        DWORD cbData = 0;
        lResult = RegQueryValueExA(hRegKey, sValueName.c_str(), 0, &dwType, 0, &cbData);
        if (lResult != ERROR_SUCCESS)
        {
            // A missing value is an ordinary outcome for the callers, which
            // all keep a default; only the failure line (if asked for) tells.
            break;
        }
        if (dwType != REG_SZ)
        {
            REPORT_FAILURE("dwType != REG_SZ");
            break;
        }
        if (cbData == 0)
        {
            REPORT_FAILURE("cbData == 0");
            break;
        }
        pbData = new (std::nothrow) BYTE[cbData];
        if (pbData == 0)
        {
            REPORT_FAILURE("pbData == 0");
            break;
        }
        lResult = RegQueryValueExA(hRegKey, sValueName.c_str(), 0, 0, pbData, &cbData);
        if (lResult != ERROR_SUCCESS)
        {
            REPORT_FAILURE("lResult != ERROR_SUCCESS");
            break;
        }
        // A value stored without its NUL yields all of its bytes.
        DWORD cchText = 0;
        while (cchText < cbData && pbData[cchText] != 0)
        {
            ++cchText;
        }
        psValueData->assign(reinterpret_cast<const char*>(pbData), cchText);
        fResult = true;
    } while (false);

    if (hRegKey != 0)
    {
        RegCloseKey(hRegKey);
    }
    delete[] pbData;
    if (fLogFailure && lResult != ERROR_SUCCESS)
    {
        g_LogFile.LogMessage(0, "RegGetStringValue (%s, %s) Failed, lResult = %d", sPath.c_str(),
                             sValueName.c_str(), static_cast<int>(lResult));
    }
    return fResult;
}

// The common work of the setters once their own checks have passed: open or
// create the key (every missing key along the path too), write the value,
// flush and close. *plResult receives the status of the last platform call.
static bool WriteValue(HKEY hkRoot, const CQvCiString& sPath, const CQvCiString& sValueName,
                       DWORD dwType, const BYTE* pbData, DWORD cbData, LONG* plResult)
{
    HKEY hRegKey = 0;
    LONG lResult = RegCreateKeyExA(hkRoot, sPath.c_str(), 0, 0, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                   0, &hRegKey, 0);
    *plResult = lResult;
    if (lResult != ERROR_SUCCESS)
    {
        REPORT_FAILURE("lResult != ERROR_SUCCESS");
        return false;
    }
    lResult = RegSetValueExA(hRegKey, sValueName.c_str(), 0, dwType, pbData, cbData);
    *plResult = lResult;
    if (lResult != ERROR_SUCCESS)
    {
        REPORT_FAILURE("lResult != ERROR_SUCCESS");
        RegCloseKey(hRegKey);
        return false;
    }
    RegFlushKey(hRegKey);
    RegCloseKey(hRegKey);
    return true;
}

bool RegSetStringValue(const CQvCiString& sPath, const CQvCiString& sValueName,
                       const CQvCiString& sValueData, bool fLogFailure, HKEY hkRoot)
{
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
    if (hkRoot == 0)
    {
        REPORT_FAILURE("hkRoot == 0");
        return false;
    }
    // The terminating NUL is stored with the text.
    LONG lResult = ERROR_SUCCESS;
    bool fResult = WriteValue(hkRoot, sPath, sValueName, REG_SZ,
                              reinterpret_cast<const BYTE*>(sValueData.c_str()),
                              static_cast<DWORD>(sValueData.length() + 1), &lResult);
    if (fLogFailure && lResult != ERROR_SUCCESS)
    {
        g_LogFile.LogMessage(0, "RegSetStringValue (%s, %s, %s) Failed, lResult = %d",
                             sPath.c_str(), sValueName.c_str(), sValueData.c_str(),
                             static_cast<int>(lResult));
    }
    return fResult;
}

bool RegSetDwordValue(const CQvCiString& sPath, const CQvCiString& sValueName, DWORD dwValueData,
                      bool fLogFailure, HKEY hkRoot)
{
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
    if (hkRoot == 0)
    {
        REPORT_FAILURE("hkRoot == 0");
        return false;
    }
    LONG lResult = ERROR_SUCCESS;
    bool fResult = WriteValue(hkRoot, sPath, sValueName, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&dwValueData), sizeof(DWORD), &lResult);
    if (fLogFailure && lResult != ERROR_SUCCESS)
    {
        g_LogFile.LogMessage(0, "RegSetDwordValue (%s, %s, 0x%.8x) Failed, lResult = %d",
                             sPath.c_str(), sValueName.c_str(),
                             static_cast<unsigned int>(dwValueData), static_cast<int>(lResult));
    }
    return fResult;
}

bool RegKeyExists(const CQvCiString& sPath, HKEY hkRoot)
{
    if (sPath.empty())
    {
        REPORT_FAILURE("sPath.empty()");
        return false;
    }
    if (hkRoot == 0)
    {
        REPORT_FAILURE("hkRoot == 0");
        return false;
    }
    HKEY hRegKey = 0;
    if (RegOpenKeyExA(hkRoot, sPath.c_str(), 0, KEY_READ, &hRegKey) != ERROR_SUCCESS)
    {
        return false;
    }
    RegCloseKey(hRegKey);
    return true;
}

bool RegIsKeyEmpty(const CQvCiString& sPath, bool fCheckValues, HKEY hkRoot)
{
    if (sPath.empty())
    {
        REPORT_FAILURE("sPath.empty()");
        return false;
    }
    if (hkRoot == 0)
    {
        REPORT_FAILURE("hkRoot == 0");
        return false;
    }
    HKEY hRegKey = 0;
    // A key that cannot be opened is not empty: callers delete only what
    // they have seen to be empty.
    if (RegOpenKeyExA(hkRoot, sPath.c_str(), 0, KEY_READ, &hRegKey) != ERROR_SUCCESS)
    {
        return false;
    }
    DWORD nSubkeys = 0;
    DWORD nValues = 0;
    LONG lResult = RegQueryInfoKeyA(hRegKey, 0, 0, 0, &nSubkeys, 0, 0, &nValues, 0, 0, 0, 0);
    RegCloseKey(hRegKey);
    if (lResult != ERROR_SUCCESS)
    {
        REPORT_FAILURE("(lResult = RegQueryInfoKey( hRegKey, 0, 0, 0, &nSubkeys, 0, 0, &nValues, "
                       "0, 0, 0, 0 )) != ERROR_SUCCESS");
        return false;
    }
    return nSubkeys == 0 && (!fCheckValues || nValues == 0);
}

// ---- Key deletion -----------------------------------------------------------
// A single key, or a key with its whole subtree, children first.

bool RegDeleteKey(const CQvCiString& sPath, bool fRecursive, HKEY hkRoot)
{
    LONG lResult = ERROR_SUCCESS;
    if (sPath.empty())
    {
        REPORT_FAILURE("sPath.empty()");
        return false;
    }
    if (hkRoot == 0)
    {
        REPORT_FAILURE("hkRoot == 0");
        return false;
    }

    // From here on every failure leaves the failure line; -1 stands for a
    // failure that has no platform status of its own.
    lResult = -1;
    HKEY hRegKey = 0;
    bool fResult = false;
    do
    {
        CQvCiString sRegKey = sPath;
        if (sRegKey.empty())
        {
            REPORT_FAILURE("sRegKey.empty()");
            break;
        }
        if (sRegKey[sRegKey.length() - 1] == '\\')
        {
            sRegKey.erase(sRegKey.length() - 1);
        }
        CQvCiString::size_type isRegKey = sRegKey.rfind('\\');
        if (isRegKey == CQvCiString::npos)
        {
            REPORT_FAILURE("isRegKey == CQvCiString::npos");
            break;
        }
        CQvCiString sSubkey = sRegKey.substr(isRegKey + 1);
        if (sSubkey.empty())
        {
            REPORT_FAILURE("sSubkey.empty()");
            break;
        }
        sRegKey.erase(isRegKey);
        if (sRegKey.empty())
        {
            REPORT_FAILURE("sRegKey.empty()");
            break;
        }
        lResult = RegOpenKeyExA(hkRoot, sRegKey.c_str(), 0, KEY_ALL_ACCESS, &hRegKey);
        if (lResult != ERROR_SUCCESS)
        {
            hRegKey = 0;
            REPORT_FAILURE("lResult != ERROR_SUCCESS");
            break;
        }
        lResult = -1;
        if (hRegKey == 0)
        {
            REPORT_FAILURE("hRegKey == 0");
            break;
        }
        if (fRecursive)
        {
            if (RegRecursiveDeleteKey(hRegKey, sSubkey) == false)
            {
                REPORT_FAILURE("RegRecursiveDeleteKey( hRegKey, sSubkey ) == false");
                break;
            }
        }
        else
        {
            lResult = RegDeleteKeyA(hRegKey, sSubkey.c_str());
            if (lResult != ERROR_SUCCESS)
            {
                REPORT_FAILURE("lResult != ERROR_SUCCESS");
                break;
            }
        }
        lResult = ERROR_SUCCESS;
        fResult = true;
    } while (false);

    if (hRegKey != 0)
    {
        RegCloseKey(hRegKey);
    }
    if (lResult != ERROR_SUCCESS)
    {
        g_LogFile.LogMessage(0, "RegDeleteKey (%s) Failed, lResult = 0x%.8x", sPath.c_str(),
                             static_cast<unsigned int>(lResult));
    }
    return fResult;
}

bool RegRecursiveDeleteKey(HKEY hRegKey, const CQvCiString& sSubkey)
{
    if (hRegKey == 0)
    {
        REPORT_FAILURE("hRegKey == 0");
        return false;
    }
    if (sSubkey.empty())
    {
        REPORT_FAILURE("sSubkey.empty()");
        return false;
    }

    HKEY hRegSubkey = 0;
    LONG lResult = RegOpenKeyExA(hRegKey, sSubkey.c_str(), 0, KEY_ALL_ACCESS, &hRegSubkey);
    if (lResult != ERROR_SUCCESS)
    {
        REPORT_FAILURE("(lResult = RegOpenKeyEx( hRegKey, sSubkey.c_str(), 0, KEY_ALL_ACCESS, "
                       "&hRegSubkey )) != ERROR_SUCCESS");
        return false;
    }

    bool fResult = false;
    do
    {
        DWORD nSubkeys = 0;
        lResult = RegQueryInfoKeyA(hRegSubkey, 0, 0, 0, &nSubkeys, 0, 0, 0, 0, 0, 0, 0);
        if (lResult != ERROR_SUCCESS)
        {
            REPORT_FAILURE("(lResult = RegQueryInfoKey( hRegSubkey, 0, 0, 0, &nSubkeys, 0, 0, 0, "
                           "0, 0, 0, 0 )) != ERROR_SUCCESS");
            break;
        }

        // Children go from the last index down, so deleting the one just
        // enumerated never shifts the index of one still to come.
        bool fChildrenDeleted = true;
        for (DWORD iSubkey = 0; iSubkey < nSubkeys; ++iSubkey)
        {
            char* pszSubkeyName = new (std::nothrow) char[s_cchSubkeyName];
            if (pszSubkeyName == 0)
            {
                REPORT_FAILURE("pszSubkeyName == 0");
                fChildrenDeleted = false;
                break;
            }
            lResult =
                RegEnumKeyA(hRegSubkey, (nSubkeys - iSubkey - 1), pszSubkeyName, s_cchSubkeyName);
            if (lResult != ERROR_SUCCESS)
            {
                REPORT_FAILURE("(lResult = RegEnumKey( hRegSubkey, (nSubkeys - iSubkey - 1), "
                               "pszSubkeyName, _MAX_PATH + 1 )) != ERROR_SUCCESS");
                delete[] pszSubkeyName;
                fChildrenDeleted = false;
                break;
            }
            if (RegRecursiveDeleteKey(hRegSubkey, pszSubkeyName) == false)
            {
                REPORT_FAILURE("RegRecursiveDeleteKey( hRegSubkey, pszSubkeyName ) == false");
                delete[] pszSubkeyName;
                fChildrenDeleted = false;
                break;
            }
            delete[] pszSubkeyName;
        }
        if (!fChildrenDeleted)
        {
            break;
        }

        // The handle must be gone before the key it refers to is deleted.
        RegCloseKey(hRegSubkey);
        hRegSubkey = 0;
        lResult = RegDeleteKeyA(hRegKey, sSubkey.c_str());
        if (lResult != ERROR_SUCCESS)
        {
            REPORT_FAILURE("lResult != ERROR_SUCCESS");
            break;
        }
        fResult = true;
    } while (false);

    if (hRegSubkey != 0)
    {
        RegCloseKey(hRegSubkey);
    }
    return fResult;
}

// ---- Value search -----------------------------------------------------------
// Depth first, pre-order, for the first key whose named string value holds a
// given text.

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
