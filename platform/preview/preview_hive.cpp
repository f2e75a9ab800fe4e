// NT hive files (SOFTWARE, SYSTEM, NTUSER.DAT ... from a disk image) as input
// to the preview, read through libhivex. A hive does not say where it was
// mounted: its file name does, as Windows names them.
#include "preview.h"

#include <hivex.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

// Key and value names come as UTF-8.
bool AnsiFromUtf8(const char* psz, std::string* psOut, unsigned int* puBad)
{
    psOut->clear();
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(psz);
    while (*pb)
    {
        unsigned int uChar = *pb;
        int nMore = 0;
        if (uChar >= 0xF0)
            uChar &= 0x07, nMore = 3;
        else if (uChar >= 0xE0)
            uChar &= 0x0F, nMore = 2;
        else if (uChar >= 0xC0)
            uChar &= 0x1F, nMore = 1;
        ++pb;
        for (; nMore > 0 && (*pb & 0xC0) == 0x80; --nMore, ++pb)
            uChar = (uChar << 6) | (*pb & 0x3F);
        char chAnsi = 0;
        if (nMore > 0 || !AnsiFromUnicode(uChar, &chAnsi))
        {
            *puBad = uChar;
            return false;
        }
        psOut->push_back(chAnsi);
    }
    return true;
}

struct HiveCloser
{
    void operator()(hive_h* pHive) const { hivex_close(pHive); }
};

class HiveWalk
{
public:
    HiveWalk(hive_h* pHive, const std::string& sFile, int iRoot, RegTextSink* pSink)
        : m_pHive(pHive), m_sFile(sFile), m_iRoot(iRoot), m_pSink(pSink)
    {
    }

    bool Node(hive_node_h node, std::vector<std::string>* pvsPath)
    {
        std::vector<std::string_view> vsvPath(pvsPath->begin(), pvsPath->end());
        if (!vsvPath.empty())
            m_pSink->Key(m_iRoot, vsvPath, false);
        std::unique_ptr<hive_value_h, decltype(&free)> pValues(hivex_node_values(m_pHive, node),
                                                               &free);
        if (!pValues)
            return Fail(*pvsPath, "its values cannot be read");
        for (hive_value_h* pValue = pValues.get(); *pValue; ++pValue)
            if (!Value(*pValue, *pvsPath))
                return false;
        std::unique_ptr<hive_node_h, decltype(&free)> pChildren(hivex_node_children(m_pHive, node),
                                                                &free);
        if (!pChildren)
            return Fail(*pvsPath, "its subkeys cannot be read");
        for (hive_node_h* pChild = pChildren.get(); *pChild; ++pChild)
        {
            std::unique_ptr<char, decltype(&free)> pszName(hivex_node_name(m_pHive, *pChild),
                                                           &free);
            std::string sName;
            unsigned int uBad = 0;
            if (!pszName)
                return Fail(*pvsPath, "a subkey name cannot be read");
            if (!AnsiFromUtf8(pszName.get(), &sName, &uBad))
                return Fail(*pvsPath, "the subkey name '" + std::string(pszName.get()) +
                                          "' has character " + CodePointName(uBad) +
                                          ", which has no form in the machine's ANSI code page "
                                          "(Windows-1252)");
            pvsPath->push_back(sName);
            bool fOk = Node(*pChild, pvsPath);
            pvsPath->pop_back();
            if (!fOk)
                return false;
        }
        return true;
    }

    const std::string& Error() const { return m_sError; }

private:
    bool Value(hive_value_h value, const std::vector<std::string>& vsPath)
    {
        std::unique_ptr<char, decltype(&free)> pszKey(hivex_value_key(m_pHive, value), &free);
        hive_type eType = hive_t_REG_NONE;
        size_t cbData = 0;
        std::unique_ptr<char, decltype(&free)> pData(
            hivex_value_value(m_pHive, value, &eType, &cbData), &free);
        if (!pszKey || !pData)
            return Fail(vsPath, "a value cannot be read");
        std::string sName;
        unsigned int uBad = 0;
        if (!AnsiFromUtf8(pszKey.get(), &sName, &uBad))
            return Fail(vsPath, "the value name '" + std::string(pszKey.get()) +
                                    "' has character " + CodePointName(uBad) +
                                    ", which has no ANSI form");
        DWORD dwType = static_cast<DWORD>(eType);
        std::string_view svData(pData.get(), cbData);
        std::string sAnsi;
        // The hive keeps strings in UTF-16LE; the machine's A calls see them in
        // its ANSI code page.
        if (dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ)
        {
            if (!AnsiFromUtf16(svData, &sAnsi, &uBad))
                return Fail(vsPath, "the value '" + sName + "' has character " +
                                        CodePointName(uBad) +
                                        ", which has no form in the machine's ANSI code page "
                                        "(Windows-1252)");
            svData = sAnsi;
        }
        m_pSink->Value(sName, dwType, svData);
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

    hive_h* m_pHive;
    std::string m_sFile;
    int m_iRoot;
    RegTextSink* m_pSink;
    std::string m_sError;
};

} // namespace

bool ReadHive(const std::string& sPath, RegTextSink* pSink, std::string* psError)
{
    std::string sBase = sPath.substr(sPath.find_last_of('/') + 1);
    const Mount* pMount = nullptr;
    for (const Mount& mount : kMounts)
        if (EqualNoCase(sBase, mount.pszFile))
            pMount = &mount;
    if (!pMount)
    {
        *psError = sPath + ": a hive file is named for the part of the registry it holds "
                           "(SOFTWARE, SYSTEM, SAM, SECURITY, NTUSER.DAT, DEFAULT), as Windows "
                           "names them";
        return false;
    }
    std::unique_ptr<hive_h, HiveCloser> pHive(hivex_open(sPath.c_str(), 0));
    if (!pHive)
    {
        *psError = sPath + ": not a hive file libhivex can read: " + strerror(errno);
        return false;
    }
    HiveWalk walk(pHive.get(), sPath, pMount->iRoot, pSink);
    std::vector<std::string> vsPath;
    if (*pMount->pszKey)
        vsPath.push_back(pMount->pszKey);
    if (!walk.Node(hivex_root(pHive.get()), &vsPath))
    {
        *psError = walk.Error();
        return false;
    }
    return true;
}

} // namespace preview
