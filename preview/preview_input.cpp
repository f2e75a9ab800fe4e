// Reading the exports for the preview, and what they say about the Windows
// version: NT keeps it in HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion
// "CurrentVersion", the 9x family in HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion
// "VersionNumber"; machine files of this project also name it in
// HKCU\Software\Wine "Version".
#include "preview.h"

#include <winsim/codepage.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

// Host files: the real fopen, not the stand-in runtime's.
#undef fopen

namespace preview
{

using winsim::detail::EqualNoCase;
using winsim::detail::Utf8ToCp1252;

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

// Short and on one line: cut at 80 characters (not inside one), control
// characters (a multi-string's NULs among them) shown as escapes.
std::string Cut(std::string_view sv)
{
    std::string sOut;
    size_t i = 0;
    for (size_t nChars = 0; i < sv.size() && nChars < 80; ++nChars)
    {
        unsigned char b = static_cast<unsigned char>(sv[i++]);
        if (b < 0x20)
        {
            static const char s_szHex[] = "0123456789abcdef";
            sOut += b == 0 ? std::string("\\0")
                           : std::string("\\x") + s_szHex[b >> 4] + s_szHex[b & 15];
            continue;
        }
        sOut.push_back(static_cast<char>(b));
        for (; i < sv.size() && (static_cast<unsigned char>(sv[i]) & 0xC0) == 0x80; ++i)
            sOut.push_back(sv[i]);
    }
    return i < sv.size() ? sOut + "..." : sOut;
}

std::string Place(int iRoot, std::string_view svFirst)
{
    std::string sPlace = winsim::detail::RootName(iRoot);
    if (!svFirst.empty())
        sPlace += "\\" + std::string(svFirst);
    return sPlace;
}

// One place holds the other: the same key, or one below the other.
bool Overlap(const std::string& sLeft, const std::string& sRight)
{
    const std::string& sShort = sLeft.size() <= sRight.size() ? sLeft : sRight;
    const std::string& sLong = sLeft.size() <= sRight.size() ? sRight : sLeft;
    return EqualNoCase(std::string_view(sLong).substr(0, sShort.size()), sShort) &&
           (sLong.size() == sShort.size() || sLong[sShort.size()] == '\\');
}

// Loads into the registry, notes the version values as they go by, converts
// Unicode text as the machine's A calls would hand it over and keeps a note
// of each name and string that changed on the way.
class InputSink : public winsim::detail::RegTreeSink, public winsim::detail::RegTextConverter
{
public:
    InputSink(winsim::detail::Registry& registry, InputFile* pFile)
        : RegTreeSink(registry), m_pFile(pFile)
    {
    }

    bool ToAnsi(std::string_view svUtf8, size_t nLine, std::string* psOut,
                std::string* psReason) override
    {
        size_t nChanged = 0;
        if (!Utf8ToCp1252(svUtf8, psOut, &nChanged))
        {
            *psReason = "text that is not UTF-8 in a file read as UTF-8 (its first line beyond "
                        "ASCII was UTF-8)";
            return false;
        }
        if (nChanged > 0)
        {
            Conversion conversion;
            conversion.sStored = Cut(svUtf8);
            conversion.sSeen = Cut(*psOut);
            conversion.nLine = nLine;
            m_vPending.push_back(std::move(conversion));
        }
        return true;
    }

    void OddLengthString(size_t nLine, size_t cbData, std::string_view svAnsi) override
    {
        Conversion odd;
        odd.cbOdd = cbData;
        if (!svAnsi.empty() && svAnsi.back() == '\0')
            svAnsi.remove_suffix(1);
        odd.sSeen = Cut(svAnsi);
        odd.nLine = nLine;
        m_vPending.push_back(std::move(odd));
    }

    void Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete) override
    {
        RegTreeSink::Key(iRoot, vsvPath, fDelete);
        m_eKey = KeyNone;
        if (fDelete)
            return;
        NotePlace(iRoot, vsvPath.empty() ? std::string_view() : vsvPath[0]);
        // At most what this key and the ancestors it may create take as key
        // lines of the machine file.
        size_t cchPath = 20;
        for (std::string_view svPart : vsvPath)
            cchPath += svPart.size() + 1;
        m_ullPathBound += (vsvPath.size() + 1) * static_cast<unsigned long long>(cchPath);
        Keep(false, std::string_view());
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
        Keep(true, svName);
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

    void RemoveValue(std::string_view svName) override
    {
        RegTreeSink::RemoveValue(svName);
        Keep(true, svName);
    }

    unsigned long long PathBound() const { return m_ullPathBound; }

    // A binary file gives the place it is mounted at, whatever it holds.
    void SetPlace(const std::string& sPlace)
    {
        m_fPlaceFixed = true;
        m_pFile->vsPlaces = {sPlace};
    }

private:
    void NotePlace(int iRoot, std::string_view svFirst)
    {
        if (m_fPlaceFixed || (iRoot == m_iLastRoot && EqualNoCase(svFirst, m_sLastFirst)))
            return;
        m_iLastRoot = iRoot;
        m_sLastFirst = std::string(svFirst);
        std::string sPlace = Place(iRoot, svFirst);
        std::vector<std::string>& vsPlaces = m_pFile->vsPlaces;
        // A root given whole takes in the first-level keys noted before it.
        for (const std::string& sHad : vsPlaces)
            if (Overlap(sHad, sPlace) && sHad.size() <= sPlace.size())
                return;
        vsPlaces.erase(std::remove_if(vsPlaces.begin(), vsPlaces.end(),
                                      [&](const std::string& sHad)
                                      { return Overlap(sHad, sPlace); }),
                       vsPlaces.end());
        vsPlaces.push_back(sPlace);
    }

    // The conversions made on the way to this key or value.
    void Keep(bool fValue, std::string_view svName)
    {
        if (m_vPending.empty())
            return;
        std::string sKey = m_pKey ? winsim::detail::KeyPath(*m_pKey) : std::string();
        for (Conversion& conversion : m_vPending)
        {
            ++(conversion.cbOdd ? m_pFile->nOddStrings : m_pFile->nConverted);
            if (m_pFile->vConversions.size() >= kKeptConversions)
                continue;
            conversion.sKey = sKey;
            conversion.fValue = fValue;
            conversion.sValue = std::string(svName);
            m_pFile->vConversions.push_back(std::move(conversion));
        }
        m_vPending.clear();
    }

    InputFile* m_pFile;
    std::vector<Conversion> m_vPending;
    bool m_fPlaceFixed = false;
    unsigned long long m_ullPathBound = 0;
    int m_iLastRoot = -1;
    std::string m_sLastFirst;
    VersionKey m_eKey = KeyNone;
    std::string m_sNt;
    std::string m_s9x;
    std::string m_sWine;
};

} // namespace

namespace
{

bool StartsWith(const std::string& sPath, const char (&achMagic)[5])
{
    char achStart[4] = {0, 0, 0, 0};
    FILE* pFile = ::fopen(sPath.c_str(), "rb");
    if (!pFile)
        return false;
    size_t cbRead = fread(achStart, 1, sizeof achStart, pFile);
    fclose(pFile);
    return cbRead == 4 && memcmp(achStart, achMagic, 4) == 0;
}

} // namespace

bool IsHiveFile(const std::string& sPath)
{
    return StartsWith(sPath, "regf");
}

#ifndef MORIX_HAVE_HIVEX
bool ReadHive(const std::string& sPath, winsim::detail::RegTextSink*,
              winsim::detail::RegTextConverter*, std::vector<std::string>*, std::string* psError)
{
    *psError = sPath + ": an NT hive file; this build reads hives only with libhivex "
                       "(apt-get install libhivex-dev, then build again)";
    return false;
}
#endif

namespace
{

// A text export, as regedit or an editor may have saved it.
bool ReadText(const std::string& sPath, InputSink* pSink, InputFile* pFile, std::string* psError)
{
    int nFormat = 0;
    std::string sEncoding;
    if (!winsim::detail::ReadRegFile(
            sPath, winsim::detail::RegTextRegedit4 | winsim::detail::RegTextVersion5, pSink,
            psError, &nFormat, pSink, &sEncoding))
        return false;
    pFile->nFormat = nFormat;
    pFile->sEncoding = sEncoding;
    return true;
}

// What the keys alone take in the temporary machine file, where each key
// line repeats the key's whole path, and the deepest key.
struct PathText
{
    unsigned long long ullBytes = 0;
    size_t nDepth = 0;
    const winsim::detail::RegKey* pDeepest = nullptr;
};

void MeasurePaths(const winsim::detail::RegKey& key, size_t cchPath, size_t nDepth, PathText* pText)
{
    pText->ullBytes += cchPath + 4;
    if (nDepth >= pText->nDepth)
    {
        pText->nDepth = nDepth;
        pText->pDeepest = &key;
    }
    for (const std::shared_ptr<winsim::detail::RegKey>& pChild : key.vpSubkeys)
        MeasurePaths(*pChild, cchPath + 1 + pChild->sName.size(), nDepth + 1, pText);
}

// Deep keys with long names cost the square of their depth there: a line of
// 130 KB would take 33 MB. Real registries stay far below the bound.
bool CheckMachineSize(const winsim::detail::Registry& registry, unsigned long long ullPathBound,
                      unsigned long long ullInputBytes, const std::string& sPath,
                      std::string* psError)
{
    // The exact measure only where the bound the readers kept says it may
    // matter: it walks the whole registry.
    const unsigned long long ullBound = 16 * ullInputBytes + (1 << 20);
    if (ullPathBound <= ullBound)
        return true;
    PathText text;
    for (int iRoot = 0; iRoot < winsim::detail::RootCount; ++iRoot)
        MeasurePaths(*registry.apRoots[iRoot], strlen(winsim::detail::RootName(iRoot)), 0, &text);
    if (text.ullBytes <= ullBound)
        return true;
    std::string sKey = winsim::detail::KeyPath(*text.pDeepest);
    *psError = sPath + ": [" + ForTerminal(sKey.substr(0, 120)) + (sKey.size() > 120 ? "..." : "") +
               "]: keys so deep and long that the temporary machine file would take " +
               std::to_string(text.ullBytes >> 20) + " MB for " +
               std::to_string(ullInputBytes >> 10) +
               " KB of input (each key line repeats the whole path)";
    return false;
}

} // namespace

std::vector<std::string> DescribeInput(const InputFile& file, size_t nExamples)
{
    std::vector<std::string> vsLines;
    if (file.nConverted > 0)
    {
        std::string sLine = std::to_string(file.nConverted) +
                            (file.nConverted == 1 ? " name or string" : " names and strings") +
                            " converted to Windows-1252 as the program sees them";
        size_t nShown = 0;
        for (size_t i = 0; i < file.vConversions.size() && nShown < nExamples; ++i)
        {
            const Conversion& conversion = file.vConversions[i];
            if (conversion.cbOdd)
                continue;
            sLine += nShown++ == 0 ? ", e.g. " : "; ";
            if (conversion.nLine > 0)
                sLine += "line " + std::to_string(conversion.nLine) + " ";
            sLine += "[" + ForTerminal(conversion.sKey) + "]";
            if (conversion.fValue)
                sLine += conversion.sValue.empty() ? " @"
                                                   : " \"" + ForTerminal(conversion.sValue) + "\"";
            sLine += ": \"" + conversion.sStored + "\" becomes \"" + ForTerminal(conversion.sSeen) +
                     "\"";
        }
        vsLines.push_back(sLine);
    }
    if (file.nOddStrings > 0)
    {
        std::string sLine =
            std::to_string(file.nOddStrings) +
            (file.nOddStrings == 1 ? " string value has" : " string values have") +
            " an odd number of bytes, read as regedit imports them: the last byte is no part of "
            "any UTF-16 character and the program does not see it";
        size_t nShown = 0;
        for (size_t i = 0; i < file.vConversions.size() && nShown < nExamples; ++i)
        {
            const Conversion& odd = file.vConversions[i];
            if (!odd.cbOdd)
                continue;
            sLine += nShown++ == 0 ? ", e.g. " : "; ";
            if (odd.nLine > 0)
                sLine += "line " + std::to_string(odd.nLine) + " ";
            sLine +=
                "[" + ForTerminal(odd.sKey) + "] " +
                (odd.sValue.empty() ? std::string("@") : "\"" + ForTerminal(odd.sValue) + "\"") +
                " (" + std::to_string(odd.cbOdd) + " bytes)";
        }
        vsLines.push_back(sLine);
    }
    for (const std::string& sWarning : file.vsWarnings)
        vsLines.push_back(sWarning);
    return vsLines;
}

namespace
{

// The same key, or one above the other.
bool OnPath(const std::string& sKey, const std::string& sOther)
{
    const std::string& sShort = sKey.size() <= sOther.size() ? sKey : sOther;
    const std::string& sLong = sKey.size() <= sOther.size() ? sOther : sKey;
    return EqualNoCase(std::string_view(sLong).substr(0, sShort.size()), sShort) &&
           (sLong.size() == sShort.size() || sLong[sShort.size()] == '\\');
}

bool IsPrinterKey(const std::string& sKey)
{
    static const char s_szPrinters[] = "\\Control\\Print\\Printers\\";
    for (size_t i = 0; i + sizeof s_szPrinters - 1 <= sKey.size(); ++i)
        if (EqualNoCase(std::string_view(sKey).substr(i, sizeof s_szPrinters - 1), s_szPrinters))
            return true;
    return false;
}

} // namespace

std::vector<std::string> DescribeConversionsOnRun(const std::vector<InputFile>& vFiles,
                                                  const ChangeList& changes)
{
    std::vector<std::string> vsLines;
    for (const InputFile& file : vFiles)
        for (const Conversion& conversion : file.vConversions)
        {
            bool fOnRun = IsPrinterKey(conversion.sKey);
            for (size_t i = 0; !fOnRun && i < changes.vsKeys.size(); ++i)
                fOnRun = OnPath(conversion.sKey, changes.vsKeys[i]);
            if (!fOnRun)
                continue;
            std::string sLine = "the program sees [" + ForTerminal(conversion.sKey) + "]";
            if (conversion.fValue)
                sLine += conversion.sValue.empty() ? " @"
                                                   : " \"" + ForTerminal(conversion.sValue) + "\"";
            if (conversion.cbOdd)
                sLine += " as \"" + ForTerminal(conversion.sSeen) + "\"; " + file.sPath +
                         " stores " + std::to_string(conversion.cbOdd) +
                         " bytes of string data, an odd number: the last is no part of any "
                         "character";
            else
                sLine += " as \"" + ForTerminal(conversion.sSeen) + "\"; " + file.sPath +
                         " stores \"" + conversion.sStored + "\"";
            vsLines.push_back(sLine);
        }
    return vsLines;
}

bool ReadExports(const std::vector<std::string>& vsPaths, winsim::detail::Registry& registry,
                 std::vector<InputFile>* pvFiles, std::string* psError)
{
    unsigned long long ullInputBytes = 0;
    unsigned long long ullPathBound = 0;
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
        InputFile file;
        file.sPath = sPath;
        InputSink sink(registry, &file);
        if (IsHiveFile(sPath))
        {
            file.nFormat = kFormatHive;
            int iRoot = 0;
            std::string sKey;
            if (HiveMount(sPath, &iRoot, &sKey))
                sink.SetPlace(Place(iRoot, sKey));
            if (!ReadHive(sPath, &sink, &sink, &file.vsWarnings, psError))
                return false;
        }
        else if (Is9xRegistryFile(sPath))
        {
            file.nFormat = kFormat9x;
            int iRoot = 0;
            if (!Read9xRegistry(sPath, &sink, &iRoot, psError))
                return false;
            sink.SetPlace(Place(iRoot, ""));
        }
        else if (StartsWith(sPath, "hbin"))
        {
            *psError = sPath + ": a piece of an NT hive (it starts with a hive bin, \"hbin\", not "
                               "with the base block, \"regf\"): not a whole hive file";
            return false;
        }
        else if (!ReadText(sPath, &sink, &file, psError))
            return false;
        // A version outside the six is refused only without --os (ChooseVersion).
        file.clue = sink.Clue(sPath);
        // Two files for one part of the registry would be merged without a
        // word: which of them is the machine's?
        for (const InputFile& earlier : *pvFiles)
            for (const std::string& sPlace : file.vsPlaces)
                for (const std::string& sHad : earlier.vsPlaces)
                    if (Overlap(sPlace, sHad))
                    {
                        *psError = sPath + ": " + sPlace + ": " + earlier.sPath + " gives " + sHad +
                                   " already; give each part of the registry once";
                        return false;
                    }
        ullInputBytes += static_cast<unsigned long long>(st.st_size);
        ullPathBound += sink.PathBound();
        if (!CheckMachineSize(registry, ullPathBound, ullInputBytes, sPath, psError))
            return false;
        pvFiles->push_back(std::move(file));
    }
    return true;
}

} // namespace preview
