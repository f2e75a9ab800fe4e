#include "qvzvesk_registry.h"

#include <new>

#include "qvzvesk_log.h"

static const char s_szSourcePath[] = "..\\..\\include\\qvzvesk\\qvzvesk_registry.cpp";

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
