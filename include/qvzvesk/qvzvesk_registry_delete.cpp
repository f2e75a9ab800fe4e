// Key deletion of the registry module: a single key, or a key with its whole
// subtree, children first.
#include "qvzvesk_registry.h"

#include <new>

#include "qvzvesk_log.h"

static const char s_szSourcePath[] = "..\\..\\include\\qvzvesk\\qvzvesk_registry.cpp";

static const DWORD s_cchSubkeyName = _MAX_PATH + 1;

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
