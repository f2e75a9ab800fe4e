// Path-based registry access: each operation opens (or creates) the keys it
// needs and closes them again before it returns.
#pragma once

#include <windows.h>

#include "qvzvesk_string.h"

// <windows.h> maps RegDeleteKey onto the platform's own call; ours is a
// different operation with the same name.
#ifdef RegDeleteKey
#undef RegDeleteKey
#endif

bool RegGetStringValue(const CQvCiString& sPath, const CQvCiString& sValueName,
                       CQvCiString* psValueData, bool fLogFailure, HKEY hkRoot);
bool RegSetStringValue(const CQvCiString& sPath, const CQvCiString& sValueName,
                       const CQvCiString& sValueData, bool fLogFailure, HKEY hkRoot);
bool RegSetDwordValue(const CQvCiString& sPath, const CQvCiString& sValueName, DWORD dwValueData,
                      bool fLogFailure, HKEY hkRoot);
bool RegKeyExists(const CQvCiString& sPath, HKEY hkRoot);
bool RegIsKeyEmpty(const CQvCiString& sPath, bool fCheckValues, HKEY hkRoot);

bool RegDeleteKey(const CQvCiString& sPath, bool fRecursive, HKEY hkRoot);
bool RegRecursiveDeleteKey(HKEY hRegKey, const CQvCiString& sSubkey);

bool RegFindValueData(const CQvCiString& sPath, const CQvCiString& sValueName,
                      const CQvCiString& sValueData, CQvCiString* psLocation, HKEY hkRoot,
                      bool fPartialValueSearch);
bool RegFindValueData(HKEY hRegKey, const CQvCiString& sPath, const CQvCiString& sValueName,
                      const CQvCiString& sValueData, CQvCiString* psLocation,
                      bool fPartialValueSearch);
