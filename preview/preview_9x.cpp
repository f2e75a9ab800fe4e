// Windows 9x registry files (SYSTEM.DAT and USER.DAT, from a disk image or a
// backup) as input to the preview, read through libcreg. Their names and
// strings are in the machine's ANSI code page already, as the program sees
// them.
#include "preview.h"

#include <cstdio>
#include <cstring>

#ifdef MORIX_HAVE_CREG
#include <libcreg.h>

#include <cstdint>
#include <set>
#endif

// Host files: the real fopen, not the stand-in runtime's.
#undef fopen

namespace preview
{

using namespace winsim::detail;

bool Is9xRegistryFile(const std::string& sPath)
{
    char achMagic[4] = {0, 0, 0, 0};
    FILE* pFile = ::fopen(sPath.c_str(), "rb");
    if (!pFile)
        return false;
    size_t cbRead = fread(achMagic, 1, sizeof achMagic, pFile);
    fclose(pFile);
    return cbRead == 4 && memcmp(achMagic, "CREG", 4) == 0;
}

#ifndef MORIX_HAVE_CREG

bool Read9xRegistry(const std::string& sPath, RegTextSink*, int*, std::string* psError)
{
    *psError = sPath + ": a Windows 9x registry file; this build reads them only with libcreg "
                       "(apt-get install libcreg-dev, then build again)";
    return false;
}

#else

namespace
{

// SYSTEM.DAT holds HKEY_LOCAL_MACHINE and USER.DAT HKEY_USERS (the default
// user's .DEFAULT and, with user profiles, each user's keys).
bool RootFor(const std::string& sPath, int* piRoot)
{
    std::string sBase = sPath.substr(sPath.find_last_of('/') + 1);
    if (EqualNoCase(sBase, "SYSTEM.DAT"))
        *piRoot = RootLocalMachine;
    else if (EqualNoCase(sBase, "USER.DAT"))
        *piRoot = RootUsers;
    else
        return false;
    return true;
}

struct CregError
{
    libcreg_error_t* pError = nullptr;
    ~CregError() { libcreg_error_free(&pError); }
    // libcreg's own words for what went wrong.
    std::string Text()
    {
        if (!pError)
            return "libcreg gives no reason";
        char szBuffer[1024] = "";
        libcreg_error_sprint(pError, szBuffer, sizeof szBuffer);
        std::string sText = szBuffer;
        while (!sText.empty() && (sText.back() == '\n' || sText.back() == '.'))
            sText.pop_back();
        libcreg_error_free(&pError);
        return sText;
    }
};

struct KeyHandle
{
    libcreg_key_t* pKey = nullptr;
    ~KeyHandle()
    {
        libcreg_error_t* pError = nullptr;
        libcreg_key_free(&pKey, &pError);
        libcreg_error_free(&pError);
    }
};

struct ValueHandle
{
    libcreg_value_t* pValue = nullptr;
    ~ValueHandle()
    {
        libcreg_error_t* pError = nullptr;
        libcreg_value_free(&pValue, &pError);
        libcreg_error_free(&pError);
    }
};

class CregWalk
{
public:
    CregWalk(const std::string& sFile, int iRoot, RegTextSink* pSink)
        : m_sFile(sFile), m_iRoot(iRoot), m_pSink(pSink)
    {
    }

    bool Node(libcreg_key_t* pKey, std::vector<std::string>* pvsPath)
    {
        CregError error;
        off64_t llOffset = 0;
        if (libcreg_key_get_offset(pKey, &llOffset, &error.pError) != 1)
            return Fail(*pvsPath, error.Text());
        if (!m_setSeen.insert(llOffset).second)
            return Fail(*pvsPath, "damaged registry file: a key is reached a second time (a loop "
                                  "in the key tree)");
        if (pvsPath->size() > kMaxKeyDepth)
            return Fail(*pvsPath, "key path deeper than Windows allows (" +
                                      std::to_string(kMaxKeyDepth) + " levels)");
        std::vector<std::string_view> vsvPath(pvsPath->begin(), pvsPath->end());
        m_pSink->Key(m_iRoot, vsvPath, false);
        int nValues = 0;
        if (libcreg_key_get_number_of_values(pKey, &nValues, &error.pError) != 1)
            return Fail(*pvsPath, "its values cannot be read: " + error.Text());
        for (int i = 0; i < nValues; ++i)
            if (!Value(pKey, i, *pvsPath))
                return false;
        int nSubkeys = 0;
        if (libcreg_key_get_number_of_sub_keys(pKey, &nSubkeys, &error.pError) != 1)
            return Fail(*pvsPath, "its subkeys cannot be read: " + error.Text());
        for (int i = 0; i < nSubkeys; ++i)
        {
            KeyHandle child;
            if (libcreg_key_get_sub_key_by_index(pKey, i, &child.pKey, &error.pError) != 1)
                return Fail(*pvsPath, "a subkey cannot be read: " + error.Text());
            std::string sName;
            if (!KeyName(child.pKey, *pvsPath, &sName))
                return false;
            pvsPath->push_back(sName);
            bool fOk = Node(child.pKey, pvsPath);
            pvsPath->pop_back();
            if (!fOk)
                return false;
        }
        return true;
    }

    const std::string& Error() const { return m_sError; }

private:
    // Names as stored, in the ANSI code page, without the terminating NUL.
    static std::string Trimmed(std::vector<uint8_t>& vbName)
    {
        std::string sName(vbName.begin(), vbName.end());
        while (!sName.empty() && sName.back() == '\0')
            sName.pop_back();
        return sName;
    }

    bool CheckName(const std::string& sName, bool fKey, const std::vector<std::string>& vsPath)
    {
        const char* pszWhat = fKey ? "subkey name" : "value name";
        size_t cchMax = fKey ? kMaxKeyNameLength : kMaxValueNameLength;
        if (sName.size() > cchMax)
            return Fail(vsPath, std::string(pszWhat) + " of " + std::to_string(sName.size()) +
                                    " characters; Windows allows " + std::to_string(cchMax));
        if (sName.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            return Fail(vsPath, std::string(pszWhat) +
                                    " with a line break or NUL, which the machine file cannot "
                                    "carry");
        if (fKey && (sName.empty() || sName.find('\\') != std::string::npos))
            return Fail(vsPath, "damaged registry file: subkey name '" + sName +
                                    "' is empty or has a backslash, which no key name has");
        return true;
    }

    bool KeyName(libcreg_key_t* pKey, const std::vector<std::string>& vsPath, std::string* psName)
    {
        CregError error;
        size_t cbName = 0;
        if (libcreg_key_get_name_size(pKey, &cbName, &error.pError) != 1)
            return Fail(vsPath, "a subkey name cannot be read: " + error.Text());
        std::vector<uint8_t> vbName(cbName + 1, 0);
        if (cbName > 0 &&
            libcreg_key_get_name(pKey, vbName.data(), vbName.size(), &error.pError) != 1)
            return Fail(vsPath, "a subkey name cannot be read: " + error.Text());
        *psName = Trimmed(vbName);
        return CheckName(*psName, true, vsPath);
    }

    bool Value(libcreg_key_t* pKey, int iValue, const std::vector<std::string>& vsPath)
    {
        CregError error;
        ValueHandle value;
        size_t cbName = 0;
        if (libcreg_key_get_value_by_index(pKey, iValue, &value.pValue, &error.pError) != 1 ||
            libcreg_value_get_name_size(value.pValue, &cbName, &error.pError) != 1)
            return Fail(vsPath, "a value cannot be read: " + error.Text());
        std::vector<uint8_t> vbName(cbName + 1, 0);
        if (cbName > 0 &&
            libcreg_value_get_name(value.pValue, vbName.data(), vbName.size(), &error.pError) != 1)
            return Fail(vsPath, "a value name cannot be read: " + error.Text());
        std::string sName = Trimmed(vbName);
        if (!CheckName(sName, false, vsPath))
            return false;
        uint32_t dwType = 0;
        size_t cbData = 0;
        if (libcreg_value_get_value_type(value.pValue, &dwType, &error.pError) != 1 ||
            libcreg_value_get_value_data_size(value.pValue, &cbData, &error.pError) != 1)
            return Fail(vsPath, "the value '" + sName + "' cannot be read: " + error.Text());
        std::string sData(cbData, '\0');
        if (cbData > 0 &&
            libcreg_value_get_value_data(value.pValue, reinterpret_cast<uint8_t*>(&sData[0]),
                                         cbData, &error.pError) != 1)
            return Fail(vsPath, "the value '" + sName + "' cannot be read: " + error.Text());
        // 9x keeps strings without their terminating NUL; RegQueryValueExA
        // hands them over with it, as an export's strings are read.
        if ((dwType == REG_SZ || dwType == REG_EXPAND_SZ) && (sData.empty() || sData.back() != 0))
            sData.push_back('\0');
        m_pSink->Value(sName, dwType, sData);
        return true;
    }

    bool Fail(const std::vector<std::string>& vsPath, const std::string& sReason)
    {
        std::string sKey = RootName(m_iRoot);
        for (const std::string& sPart : vsPath)
            sKey += "\\" + sPart;
        m_sError = m_sFile + ": [" + sKey + "]: " + sReason;
        return false;
    }

    std::string m_sFile;
    int m_iRoot;
    RegTextSink* m_pSink;
    std::set<off64_t> m_setSeen;
    std::string m_sError;
};

struct FileHandle
{
    libcreg_file_t* pFile = nullptr;
    ~FileHandle()
    {
        libcreg_error_t* pError = nullptr;
        if (pFile)
            libcreg_file_close(pFile, &pError);
        libcreg_error_free(&pError);
        libcreg_file_free(&pFile, &pError);
        libcreg_error_free(&pError);
    }
};

} // namespace

bool Read9xRegistry(const std::string& sPath, RegTextSink* pSink, int* piRoot, std::string* psError)
{
    if (!RootFor(sPath, piRoot))
    {
        *psError = sPath + ": a Windows 9x registry file is named for the part of the registry "
                           "it holds (SYSTEM.DAT, USER.DAT), as Windows names them";
        return false;
    }
    CregError error;
    FileHandle file;
    if (libcreg_file_initialize(&file.pFile, &error.pError) != 1 ||
        libcreg_file_set_ascii_codepage(file.pFile, LIBCREG_CODEPAGE_WINDOWS_1252, &error.pError) !=
            1)
    {
        *psError = sPath + ": " + error.Text();
        return false;
    }
    if (libcreg_file_open(file.pFile, sPath.c_str(), LIBCREG_OPEN_READ, &error.pError) != 1)
    {
        *psError = sPath + ": not a Windows 9x registry file libcreg can read: " + error.Text();
        return false;
    }
    KeyHandle root;
    int nFound = libcreg_file_get_root_key(file.pFile, &root.pKey, &error.pError);
    if (nFound != 1)
    {
        *psError = sPath + ": damaged registry file: " +
                   (nFound == 0 ? std::string("it has no root key") : error.Text());
        return false;
    }
    CregWalk walk(sPath, *piRoot, pSink);
    std::vector<std::string> vsPath;
    if (!walk.Node(root.pKey, &vsPath))
    {
        *psError = walk.Error();
        return false;
    }
    return true;
}

#endif

} // namespace preview
