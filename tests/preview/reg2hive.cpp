// Test fixture: writes part of a registry export into an NT hive file, the way
// a disk image of the machine would hold it.
//
//   reg2hive [--control-set] BASE.hive EXPORT.reg KEY OUT.hive
//
// BASE.hive is an empty hive (libhivex cannot make one from nothing); KEY is
// the key whose subtree the hive holds (HKEY_LOCAL_MACHINE\SOFTWARE). With
// --control-set, CurrentControlSet is stored as ControlSet001 with
// Select "Current" = 1, as in a SYSTEM hive that is not mounted.
#include <winsim/codepage.h>
#include <winsim/regtext_read.h>

#include <hivex.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace
{

using namespace winsim::detail;

// Windows-1252 back to UTF-16LE.
std::string Utf16FromAnsi(std::string_view svAnsi)
{
    std::string sOut;
    for (char ch : svAnsi)
    {
        unsigned int u = static_cast<unsigned char>(ch);
        if (u >= 0x80 && u < 0xA0)
        {
            for (unsigned int uChar = 0x80; uChar < 0x10000; ++uChar)
            {
                char chAnsi = 0;
                if (AnsiFromUnicode(uChar, &chAnsi) && static_cast<unsigned char>(chAnsi) == u)
                {
                    u = uChar;
                    break;
                }
            }
        }
        sOut += static_cast<char>(u & 0xFF);
        sOut += static_cast<char>(u >> 8);
    }
    return sOut;
}

// Names go to libhivex in UTF-8.
std::string Utf8FromAnsi(std::string_view svAnsi)
{
    std::string sWide = Utf16FromAnsi(svAnsi);
    std::string sOut;
    for (size_t i = 0; i < sWide.size(); i += 2)
    {
        unsigned int u =
            static_cast<unsigned char>(sWide[i]) | (static_cast<unsigned char>(sWide[i + 1]) << 8);
        if (u < 0x80)
            sOut += static_cast<char>(u);
        else if (u < 0x800)
        {
            sOut += static_cast<char>(0xC0 | (u >> 6));
            sOut += static_cast<char>(0x80 | (u & 0x3F));
        }
        else
        {
            sOut += static_cast<char>(0xE0 | (u >> 12));
            sOut += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            sOut += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return sOut;
}

bool Store(hive_h* pHive, hive_node_h node, const RegKey& key)
{
    std::vector<std::string> vsNames;
    std::vector<std::string> vsData;
    vsNames.reserve(key.vValues.size());
    vsData.reserve(key.vValues.size());
    std::vector<hive_set_value> vSet;
    for (const RegValue& value : key.vValues)
    {
        vsNames.push_back(Utf8FromAnsi(value.Name()));
        bool fString =
            value.dwType == REG_SZ || value.dwType == REG_EXPAND_SZ || value.dwType == REG_MULTI_SZ;
        vsData.push_back(fString ? Utf16FromAnsi(value.Bytes()) : std::string(value.Bytes()));
    }
    for (size_t i = 0; i < key.vValues.size(); ++i)
        vSet.push_back(hive_set_value{const_cast<char*>(vsNames[i].c_str()),
                                      static_cast<hive_type>(key.vValues[i].dwType),
                                      vsData[i].size(), const_cast<char*>(vsData[i].data())});
    if (!vSet.empty() && hivex_node_set_values(pHive, node, vSet.size(), vSet.data(), 0) != 0)
        return false;
    for (const auto& pChild : key.vpSubkeys)
    {
        hive_node_h child = hivex_node_add_child(pHive, node, Utf8FromAnsi(pChild->sName).c_str());
        if (!child || !Store(pHive, child, *pChild))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    bool fControlSet = argc > 1 && strcmp(argv[1], "--control-set") == 0;
    if (argc != (fControlSet ? 6 : 5))
    {
        fprintf(stderr, "usage: reg2hive [--control-set] BASE.hive EXPORT.reg KEY OUT.hive\n");
        return 2;
    }
    char** ppszArgs = argv + (fControlSet ? 2 : 1);
    Registry registry;
    RegTreeSink sink(registry);
    std::string sError;
    if (!ReadRegFile(ppszArgs[1], RegTextRegedit4 | RegTextVersion5, &sink, &sError))
    {
        fprintf(stderr, "%s\n", sError.c_str());
        return 1;
    }
    std::shared_ptr<RegKey> pKey = FindKeyByPath(registry, ppszArgs[2]);
    if (!pKey)
    {
        fprintf(stderr, "%s: no such key\n", ppszArgs[2]);
        return 1;
    }
    if (fControlSet)
    {
        const std::shared_ptr<RegKey>* ppCurrent = FindChild(*pKey, "CurrentControlSet");
        if (ppCurrent)
        {
            std::shared_ptr<RegKey> pCurrent = *ppCurrent;
            RemoveSubkey(*pKey, "CurrentControlSet");
            pCurrent->sName = "ControlSet001";
            pKey->vpSubkeys.push_back(pCurrent);
        }
        bool fCreated = false;
        RegKey& select = *ChildFor(*pKey, "Select", &fCreated, CurrentFileTime());
        SetValueBytes(select, "Current", REG_DWORD, std::string_view("\1\0\0\0", 4));
    }
    hive_h* pHive = hivex_open(ppszArgs[0], HIVEX_OPEN_WRITE);
    if (!pHive || !Store(pHive, hivex_root(pHive), *pKey) ||
        hivex_commit(pHive, ppszArgs[3], 0) != 0)
    {
        perror("hivex");
        return 1;
    }
    hivex_close(pHive);
    return 0;
}
