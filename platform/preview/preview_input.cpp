// Reading the exports for the preview, and what they say about the Windows
// version: NT keeps it in HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion
// "CurrentVersion", the 9x family in HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion
// "VersionNumber"; machine files of this project also name it in
// HKCU\Software\Wine "Version".
#include "preview.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// Host files: the real fopen, not the stand-in runtime's.
#undef fopen

namespace preview
{

using winsim::detail::EqualNoCase;

namespace
{

enum VersionKey
{
    KeyNone,
    KeyNt,
    Key9x,
    KeyWine
};

bool PathIs(int iRoot, const std::vector<std::string_view>& vsvPath, int iWantRoot,
            std::initializer_list<const char*> lpszWant)
{
    if (iRoot != iWantRoot || vsvPath.size() != lpszWant.size())
        return false;
    size_t i = 0;
    for (const char* psz : lpszWant)
        if (!EqualNoCase(vsvPath[i++], psz))
            return false;
    return true;
}

std::string Text(std::string_view svBytes)
{
    return std::string(svBytes.substr(0, svBytes.find('\0')));
}

std::string NtVersionName(const std::string& sVersion)
{
    if (sVersion == "4.0")
        return "nt40";
    if (sVersion == "5.0")
        return "win2k";
    if (sVersion == "5.1")
        return "winxp";
    return "";
}

std::string Version9xName(const std::string& sVersion)
{
    if (sVersion.compare(0, 5, "4.00.") == 0 || sVersion == "4.00")
        return "win95";
    if (sVersion.compare(0, 5, "4.10.") == 0 || sVersion == "4.10")
        return "win98";
    if (sVersion.compare(0, 5, "4.90.") == 0 || sVersion == "4.90")
        return "winme";
    return "";
}

bool IsKnownName(const std::string& sName)
{
    for (const char* psz : {"win95", "win98", "winme", "nt40", "win2k", "winxp"})
        if (sName == psz)
            return true;
    return false;
}

// Loads into the registry and notes the version values as they go by.
class InputSink : public winsim::detail::RegTreeSink
{
public:
    explicit InputSink(winsim::detail::Registry& registry) : RegTreeSink(registry) {}

    void Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete) override
    {
        RegTreeSink::Key(iRoot, vsvPath, fDelete);
        m_eKey = KeyNone;
        if (fDelete)
            return;
        given.Note(iRoot, vsvPath);
        using winsim::detail::RootCurrentUser;
        using winsim::detail::RootLocalMachine;
        if (PathIs(iRoot, vsvPath, RootLocalMachine,
                   {"SOFTWARE", "Microsoft", "Windows NT", "CurrentVersion"}))
            m_eKey = KeyNt;
        else if (PathIs(iRoot, vsvPath, RootLocalMachine,
                        {"SOFTWARE", "Microsoft", "Windows", "CurrentVersion"}))
            m_eKey = Key9x;
        else if (PathIs(iRoot, vsvPath, RootCurrentUser, {"Software", "Wine"}))
            m_eKey = KeyWine;
    }

    void Value(std::string_view svName, DWORD dwType, std::string_view svBytes) override
    {
        RegTreeSink::Value(svName, dwType, svBytes);
        if (m_eKey == KeyNone || dwType != REG_SZ)
            return;
        if (m_eKey == KeyNt && EqualNoCase(svName, "CurrentVersion"))
            m_sNt = Text(svBytes);
        else if (m_eKey == Key9x && EqualNoCase(svName, "VersionNumber"))
            m_s9x = Text(svBytes);
        else if (m_eKey == KeyWine && EqualNoCase(svName, "Version"))
            m_sWine = Text(svBytes);
    }

    VersionClue Clue(const std::string& sFile) const
    {
        VersionClue clue;
        clue.sFile = sFile;
        if (!m_sNt.empty())
        {
            clue.sWhere = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion "
                          "\"CurrentVersion\" = \"" +
                          m_sNt + "\"";
            clue.sName = NtVersionName(m_sNt);
            if (clue.sName.empty())
                clue.sError =
                    "Windows NT version " + m_sNt + " is none the program runs on (4.0, 5.0, 5.1)";
        }
        else if (!m_s9x.empty())
        {
            clue.sWhere = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion "
                          "\"VersionNumber\" = \"" +
                          m_s9x + "\"";
            clue.sName = Version9xName(m_s9x);
            if (clue.sName.empty())
                clue.sError = "Windows version number " + m_s9x +
                              " is none the program runs on (4.00, 4.10, 4.90)";
        }
        else if (!m_sWine.empty())
        {
            clue.sWhere = "HKEY_CURRENT_USER\\Software\\Wine \"Version\" = \"" + m_sWine + "\"";
            clue.sName = m_sWine;
            if (!IsKnownName(m_sWine))
                clue.sError = "Windows version name " + m_sWine + " is none the program runs on";
        }
        if (!clue.sError.empty())
            clue.sName.clear();
        return clue;
    }

    GivenRoots given;

private:
    VersionKey m_eKey = KeyNone;
    std::string m_sNt;
    std::string m_s9x;
    std::string m_sWine;
};

} // namespace

bool IsHiveFile(const std::string& sPath)
{
    char achMagic[4] = {0, 0, 0, 0};
    FILE* pFile = ::fopen(sPath.c_str(), "rb");
    if (!pFile)
        return false;
    size_t cbRead = fread(achMagic, 1, sizeof achMagic, pFile);
    fclose(pFile);
    return cbRead == 4 && memcmp(achMagic, "regf", 4) == 0;
}

#ifndef MORIX_HAVE_HIVEX
bool ReadHive(const std::string& sPath, winsim::detail::RegTextSink*, std::string* psError)
{
    *psError = sPath + ": an NT hive file; this build reads hives only with libhivex "
                       "(apt-get install libhivex-dev, then build again)";
    return false;
}
#endif

bool ReadExports(const std::vector<std::string>& vsPaths, winsim::detail::Registry& registry,
                 std::vector<InputFile>* pvFiles, std::string* psError)
{
    for (const std::string& sPath : vsPaths)
    {
        struct stat st;
        if (stat(sPath.c_str(), &st) != 0)
        {
            *psError = sPath + ": cannot be read: " + strerror(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode))
        {
            *psError = sPath + ": is a folder, not a registry export";
            return false;
        }
        InputSink sink(registry);
        InputFile file;
        file.sPath = sPath;
        if (IsHiveFile(sPath))
        {
            file.nFormat = kFormatHive;
            if (!ReadHive(sPath, &sink, psError))
                return false;
        }
        else if (!winsim::detail::ReadRegFile(
                     sPath, winsim::detail::RegTextRegedit4 | winsim::detail::RegTextVersion5,
                     &sink, psError, &file.nFormat))
            return false;
        file.clue = sink.Clue(sPath);
        file.vsGives = sink.given.List();
        pvFiles->push_back(file);
    }
    return true;
}

} // namespace preview
