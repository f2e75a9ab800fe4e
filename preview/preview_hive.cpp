// NT hive files (SOFTWARE, SYSTEM, NTUSER.DAT ... from a disk image) as input
// to the preview, read through libhivex. A hive does not say where it was
// mounted: its file name does, as Windows names them.
#include "preview.h"

#include <winsim/codepage.h>

#include <hivex.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_set>

// Host files: the real fopen, not the stand-in runtime's.
#undef fopen

namespace preview
{

using namespace winsim::detail;

namespace
{

struct Mount
{
    const char* pszFile;
    int iRoot;
    const char* pszKey; // below the root; empty for the root itself
};

const Mount kMounts[] = {
    {"SOFTWARE", RootLocalMachine, "SOFTWARE"}, {"SYSTEM", RootLocalMachine, "SYSTEM"},
    {"SAM", RootLocalMachine, "SAM"},           {"SECURITY", RootLocalMachine, "SECURITY"},
    {"NTUSER.DAT", RootCurrentUser, ""},        {"DEFAULT", RootUsers, ".DEFAULT"},
};

const Mount* FindMount(const std::string& sPath)
{
    std::string sBase = sPath.substr(sPath.find_last_of('/') + 1);
    for (const Mount& mount : kMounts)
        if (EqualNoCase(sBase, mount.pszFile))
            return &mount;
    return nullptr;
}

struct HiveCloser
{
    void operator()(hive_h* pHive) const { hivex_close(pHive); }
};

// libhivex says why it gives up only on standard error (when opened
// verbose); the preview catches those lines while it reads the hive.
class HiveMessages
{
public:
    HiveMessages()
    {
        fflush(stderr);
        m_pFile = tmpfile();
        m_fdSaved = m_pFile ? dup(STDERR_FILENO) : -1;
        if (m_fdSaved >= 0)
            dup2(fileno(m_pFile), STDERR_FILENO);
    }
    ~HiveMessages() { Stop(); }

    // The reason of the last "returning E... because: ..." line, without the
    // file name libhivex puts in front of some.
    std::string LastReason(const std::string& sPath)
    {
        Stop();
        if (!m_pFile)
            return std::string();
        std::string sText;
        rewind(m_pFile);
        char szBuffer[4096];
        size_t cb = 0;
        while ((cb = fread(szBuffer, 1, sizeof szBuffer, m_pFile)) > 0 && sText.size() < (1 << 20))
            sText.append(szBuffer, cb);
        static const char s_szBecause[] = "because: ";
        size_t iAt = sText.rfind(s_szBecause);
        if (iAt == std::string::npos)
            return std::string();
        std::string sReason = sText.substr(iAt + sizeof s_szBecause - 1);
        sReason = sReason.substr(0, sReason.find('\n'));
        if (sReason.compare(0, sPath.size() + 2, sPath + ": ") == 0)
            sReason.erase(0, sPath.size() + 2);
        return sReason;
    }

private:
    void Stop()
    {
        if (m_fdSaved < 0)
            return;
        fflush(stderr);
        dup2(m_fdSaved, STDERR_FILENO);
        close(m_fdSaved);
        m_fdSaved = -1;
    }

    FILE* m_pFile = nullptr;
    int m_fdSaved = -1;

public:
    HiveMessages(const HiveMessages&) = delete;
    HiveMessages& operator=(const HiveMessages&) = delete;
};

std::string WithReason(const std::string& sWhat, int nErrno, const std::string& sReason)
{
    return sWhat + ": " + (sReason.empty() ? std::string(strerror(nErrno)) : sReason);
}

class HiveWalk
{
public:
    HiveWalk(hive_h* pHive, const std::string& sFile, int iRoot, RegTextSink* pSink,
             RegTextConverter* pConverter)
        : m_pHive(pHive), m_sFile(sFile), m_iRoot(iRoot), m_pSink(pSink), m_pConverter(pConverter)
    {
    }

    bool Node(hive_node_h node, std::vector<std::string>* pvsPath)
    {
        // A subkey list that leads back to a key read before is damage: a
        // key has one parent.
        if (!m_setSeen.insert(node).second)
        {
            bool fLoop =
                std::find(m_vAncestors.begin(), m_vAncestors.end(), node) != m_vAncestors.end();
            return Fail(*pvsPath, fLoop ? "damaged hive: its subkey list leads back to a key "
                                          "above it (a loop in the key tree)"
                                        : "damaged hive: it is listed as a subkey of two keys");
        }
        if (pvsPath->size() > kMaxKeyDepth)
            return Fail(*pvsPath, "key path deeper than Windows allows (" +
                                      std::to_string(kMaxKeyDepth) + " levels)");
        std::vector<std::string_view> vsvPath(pvsPath->begin(), pvsPath->end());
        m_vsOriginals.resize(pvsPath->size());
        if (m_nOriginals > 0)
            m_pSink->KeyOriginals(m_vsOriginals);
        m_pSink->Key(m_iRoot, vsvPath, false);
        std::unique_ptr<hive_value_h, decltype(&free)> pValues(hivex_node_values(m_pHive, node),
                                                               &free);
        if (!pValues)
            return Fail(*pvsPath, "its values cannot be read", errno);
        for (hive_value_h* pValue = pValues.get(); *pValue; ++pValue)
            if (!Value(*pValue, *pvsPath))
                return false;
        std::unique_ptr<hive_node_h, decltype(&free)> pChildren(hivex_node_children(m_pHive, node),
                                                                &free);
        if (!pChildren)
            return Fail(*pvsPath, "its subkeys cannot be read", errno);
        for (hive_node_h* pChild = pChildren.get(); *pChild; ++pChild)
        {
            std::unique_ptr<char, decltype(&free)> pszName(hivex_node_name(m_pHive, *pChild),
                                                           &free);
            if (!pszName)
                return Fail(*pvsPath, "a subkey name cannot be read", errno);
            std::string sName;
            if (!Name(pszName.get(), true, *pvsPath, &sName))
                return false;
            // NT keeps and orders the key by the name the hive stores; the
            // program sees the ANSI form.
            std::string_view svStored(pszName.get());
            bool fLossy =
                std::any_of(svStored.begin(), svStored.end(), [](char ch) { return ch & 0x80; }) &&
                Cp1252ToUtf8(sName) != svStored;
            m_vsOriginals.push_back(fLossy ? std::string(svStored) : std::string());
            m_nOriginals += fLossy;
            pvsPath->push_back(sName);
            m_vAncestors.push_back(node);
            bool fOk = Node(*pChild, pvsPath);
            m_vAncestors.pop_back();
            pvsPath->pop_back();
            m_vsOriginals.resize(pvsPath->size());
            m_nOriginals -= fLossy;
            if (!fOk)
                return false;
        }
        return true;
    }

    const std::string& Error() const { return m_sError; }

private:
    // A key or value name as the program sees it; refused when no Windows
    // could hold it or the machine file could not carry it.
    bool Name(const char* pszUtf8, bool fKey, const std::vector<std::string>& vsPath,
              std::string* psName)
    {
        std::string sReason;
        std::string_view svUtf8(pszUtf8);
        if (!m_pConverter->ToAnsi(svUtf8, 0, psName, &sReason))
            return Fail(vsPath, sReason);
        const char* pszWhat = fKey ? "subkey name" : "value name";
        size_t cchMax = fKey ? kMaxKeyNameLength : kMaxValueNameLength;
        if (psName->size() > cchMax)
            return Fail(vsPath, std::string(pszWhat) + " of " + std::to_string(psName->size()) +
                                    " characters; Windows allows " + std::to_string(cchMax));
        if (psName->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            return Fail(vsPath, std::string(pszWhat) + " '" + Printable(*psName) +
                                    "' has a line break or NUL, which the machine file cannot "
                                    "carry");
        if (fKey && (psName->empty() || psName->find('\\') != std::string::npos))
            return Fail(vsPath, "damaged hive: subkey name '" + Printable(*psName) +
                                    "' is empty or has a backslash, which no key name has");
        return true;
    }

    bool Value(hive_value_h value, const std::vector<std::string>& vsPath)
    {
        std::unique_ptr<char, decltype(&free)> pszKey(hivex_value_key(m_pHive, value), &free);
        if (!pszKey)
            return Fail(vsPath, "a value name cannot be read", errno);
        std::string sName;
        if (!Name(pszKey.get(), false, vsPath, &sName))
            return false;
        // The type is kept as the number the hive holds: SAM keeps ids there
        // and device properties use 0xFFFF00xx, none of them in hive_type.
        static_assert(sizeof(hive_type) == sizeof(uint32_t), "hive_type is a 32-bit number");
        uint32_t dwType = 0;
        size_t cbData = 0;
        std::unique_ptr<char, decltype(&free)> pData(
            hivex_value_value(m_pHive, value, reinterpret_cast<hive_type*>(&dwType), &cbData),
            &free);
        if (!pData)
            return Fail(vsPath, "the value '" + sName + "' cannot be read", errno);
        std::string_view svData(pData.get(), cbData);
        std::string sAnsi;
        // The hive keeps strings in UTF-16LE; the machine's A calls hand them
        // over in its ANSI code page.
        if (dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ)
        {
            std::string sUtf8 = Utf16ToUtf8(svData);
            std::string sReason;
            if (!m_pConverter->ToAnsi(sUtf8, 0, &sAnsi, &sReason))
                return Fail(vsPath, sReason);
            // An odd last byte is no part of any character: the A calls hand
            // over the whole units alone, as the text readers read an export.
            if (cbData % 2 != 0)
                m_pConverter->OddLengthString(0, cbData, sAnsi);
            svData = sAnsi;
        }
        m_pSink->Value(sName, dwType, svData);
        return true;
    }

    static std::string Printable(const std::string& s)
    {
        std::string sOut;
        for (char ch : s.substr(0, 60))
            sOut += ch == '\n'   ? "\\n"
                    : ch == '\r' ? "\\r"
                    : ch == '\0' ? "\\0"
                                 : std::string(1, ch);
        return s.size() > 60 ? sOut + "..." : sOut;
    }

    bool Fail(const std::vector<std::string>& vsPath, const std::string& sReason, int nErrno = 0)
    {
        std::string sKey = RootName(m_iRoot);
        for (const std::string& sPart : vsPath)
            sKey += "\\" + sPart;
        m_sError = m_sFile + ": [" + Cp1252ToUtf8(sKey) + "]: " + sReason;
        m_nErrno = nErrno;
        return false;
    }

    hive_h* m_pHive;
    std::string m_sFile;
    int m_iRoot;
    RegTextSink* m_pSink;
    RegTextConverter* m_pConverter;
    std::unordered_set<hive_node_h> m_setSeen;
    std::vector<hive_node_h> m_vAncestors;
    // Along the path: the names the hive stores where the program sees a lossy
    // conversion (empty for the others), and how many there are.
    std::vector<std::string> m_vsOriginals;
    size_t m_nOriginals = 0;
    std::string m_sError;

public:
    int m_nErrno = 0; // set when libhivex gave up
};

// The base block's two sequence numbers differ while Windows has changes
// for the hive in its .LOG1/.LOG2 transaction logs that are not written to
// it yet.
bool IsDirty(const std::string& sPath, uint32_t* pdwPrimary, uint32_t* pdwSecondary)
{
    unsigned char ab[12] = {};
    FILE* pFile = ::fopen(sPath.c_str(), "rb");
    if (!pFile)
        return false;
    size_t cb = fread(ab, 1, sizeof ab, pFile);
    fclose(pFile);
    if (cb != sizeof ab)
        return false;
    *pdwPrimary = ab[4] | (ab[5] << 8) | (ab[6] << 16) | (static_cast<uint32_t>(ab[7]) << 24);
    *pdwSecondary = ab[8] | (ab[9] << 8) | (ab[10] << 16) | (static_cast<uint32_t>(ab[11]) << 24);
    return *pdwPrimary != *pdwSecondary;
}

} // namespace

bool HiveMount(const std::string& sPath, int* piRoot, std::string* psKey)
{
    const Mount* pMount = FindMount(sPath);
    if (!pMount)
        return false;
    *piRoot = pMount->iRoot;
    *psKey = pMount->pszKey;
    return true;
}

bool ReadHive(const std::string& sPath, RegTextSink* pSink, RegTextConverter* pConverter,
              std::vector<std::string>* pvsWarnings, std::string* psError)
{
    const Mount* pMount = FindMount(sPath);
    if (!pMount)
    {
        *psError = sPath + ": a hive file is named for the part of the registry it holds "
                           "(SOFTWARE, SYSTEM, SAM, SECURITY, NTUSER.DAT, DEFAULT), as Windows "
                           "names them";
        return false;
    }
    uint32_t dwPrimary = 0;
    uint32_t dwSecondary = 0;
    if (IsDirty(sPath, &dwPrimary, &dwSecondary))
        pvsWarnings->push_back(
            "a dirty hive: its sequence numbers differ (" + std::to_string(dwPrimary) + ", " +
            std::to_string(dwSecondary) +
            "), so Windows had changes for it in its .LOG1/.LOG2 transaction logs; they were not "
            "applied, and the preview reads the hive as the file holds it");
    HiveMessages messages;
    std::unique_ptr<hive_h, HiveCloser> pHive(hivex_open(sPath.c_str(), HIVEX_OPEN_VERBOSE));
    if (!pHive)
    {
        int nErrno = errno;
        *psError = WithReason(sPath + ": not a hive file libhivex can read", nErrno,
                              messages.LastReason(sPath));
        return false;
    }
    HiveWalk walk(pHive.get(), sPath, pMount->iRoot, pSink, pConverter);
    std::vector<std::string> vsPath;
    if (*pMount->pszKey)
        vsPath.push_back(pMount->pszKey);
    if (!walk.Node(hivex_root(pHive.get()), &vsPath))
    {
        *psError = walk.Error();
        pHive.reset(); // its closing words go to the catch too
        if (walk.m_nErrno != 0)
            *psError =
                WithReason(*psError + " (damaged hive)", walk.m_nErrno, messages.LastReason(sPath));
        return false;
    }
    return true;
}

} // namespace preview
