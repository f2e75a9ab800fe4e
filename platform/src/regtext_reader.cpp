// Reading registry text: REGEDIT4, and regedit's version 5.00 (UTF-16LE, turned
// into the machine's ANSI code page). The reader takes the text in blocks of
// any size and hands each item on as soon as its line is read, so a whole
// machine's export loads without a second copy of it in memory. This is the
// second part, the grammar: keys, values, strings, hex; the first part turns
// the bytes into lines (regtext_lines.cpp).
#include "regtext_lines.h"

#include <winsim/codepage.h>
#include <winsim/regtext_read.h>

#include <string>

namespace winsim
{
namespace detail
{

namespace
{

const char kHeader4[] = "REGEDIT4";
const char kHeader5[] = "Windows Registry Editor Version 5.00";

inline bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

inline int HexDigit(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

std::string_view TrimRight(std::string_view sv)
{
    while (!sv.empty() && IsBlank(sv.back()))
        sv.remove_suffix(1);
    return sv;
}

std::string_view TrimLeft(std::string_view sv)
{
    while (!sv.empty() && IsBlank(sv.front()))
        sv.remove_prefix(1);
    return sv;
}

// Nothing but blanks or a comment may follow a complete item on a line.
bool RestIsEmpty(std::string_view sv, size_t iPos)
{
    while (iPos < sv.size() && IsBlank(sv[iPos]))
        ++iPos;
    return iPos == sv.size() || sv[iPos] == ';';
}

bool StartsWithNoCase(std::string_view sv, size_t iPos, std::string_view svPrefix)
{
    return sv.size() - iPos >= svPrefix.size() &&
           EqualNoCase(sv.substr(iPos, svPrefix.size()), svPrefix);
}

bool IsStringType(DWORD dwType)
{
    return dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ;
}

// Characters a name cannot carry through a line-based text file; one pass,
// as it runs over every key name of a machine.
bool HasLineBreakOrNul(std::string_view sv)
{
    for (char ch : sv)
        if (static_cast<unsigned char>(ch) <= '\r' && (ch == '\r' || ch == '\n' || ch == '\0'))
            return true;
    return false;
}

std::string Shown(std::string_view sv)
{
    std::string sOut;
    for (char ch : sv.substr(0, 60))
        sOut += ch == '\n'   ? std::string("\\n")
                : ch == '\r' ? std::string("\\r")
                : ch == '\0' ? std::string("\\0")
                             : std::string(1, ch);
    return sv.size() > 60 ? sOut + "..." : sOut;
}

} // namespace

struct RegTextReader::Impl : RegTextLines
{
    int fAllowed = RegTextRegedit4;
    RegTextSink* pSink = nullptr;
    // Set for text written elsewhere (ReadForeign).
    RegTextConverter* pConverter = nullptr;
    std::vector<std::string> vsKeyParts;
    std::string sOriginalsLine;           // the last ";winsim:key " line's path
    std::vector<std::string> vsOriginals; // the key line's Unicode names (UTF-8)
    std::string sConverted;
    int nFormat = 0;
    bool fHeaderSeen = false;
    bool fHaveKey = false;
    bool fKeyDeleted = false;
    // A hex value that goes on over lines ending in a backslash.
    bool fInHex = false;
    size_t nHexLine = 0;
    size_t nValueLine = 0;
    std::string sValueName;
    DWORD dwValueType = REG_NONE;
    std::string sBytes;
    std::string sText;
    std::string sWide;
    std::vector<std::string_view> vsvPath;

    bool Finish()
    {
        if (!FinishLines())
            return false;
        if (!fHeaderSeen)
            return Fail(nLine == 0 ? 1 : nLine, "empty file, expected the REGEDIT4 header");
        if (fInHex)
            return Fail(nHexLine, "continuation backslash on the last line");
        return true;
    }

    bool Line(std::string_view svLine, unsigned long long ullStart, bool fEnded) override
    {
        if (fInHex)
            return HexContinuation(svLine);
        std::string_view svTrimmed = TrimLeft(svLine);
        if (!fHeaderSeen)
        {
            if (svTrimmed.empty())
                return true;
            return Header(TrimRight(svLine));
        }
        if (svTrimmed.empty())
            return true;
        char chFirst = svTrimmed[0];
        if (chFirst == ';')
        {
            std::string_view svComment = TrimRight(svTrimmed);
            // A record counts only once its end line is there with its newline:
            // anything shorter is the torn tail of a run that died.
            if (svComment == kRecordBegin || (svComment == kRecordEnd && fEnded))
                pSink->RecordMark(svComment == kRecordEnd, ullStart);
            // Untrimmed: a key name may end in blanks, and the path must
            // match the key line's name for name.
            else if (svTrimmed.substr(0, sizeof kKeyOriginals - 1) == kKeyOriginals)
                sOriginalsLine.assign(svTrimmed.substr(sizeof kKeyOriginals - 1));
            return true;
        }
        if (chFirst == '[')
            return KeyLine(svTrimmed);
        if (chFirst == '"' || chFirst == '@')
            return ValueLine(svTrimmed);
        return FailHere("expected a [key] line or a \"name\"=value line");
    }

    bool Header(std::string_view svLine)
    {
        if (svLine == kHeader4)
        {
            nFormat = RegTextRegedit4;
            fHeaderSeen = true;
            return true;
        }
        if (svLine == kHeader5 && (fAllowed & RegTextVersion5))
        {
            if (eEncoding != EncodingUtf16 && !pConverter)
                return FailHere("a version 5.00 export must be UTF-16LE with its byte order mark, "
                                "as regedit writes it");
            nFormat = RegTextVersion5;
            fHeaderSeen = true;
            return true;
        }
        if (fAllowed & RegTextVersion5)
            return FailHere("unknown header: expected REGEDIT4 or Windows Registry Editor "
                            "Version 5.00");
        return FailHere("expected the REGEDIT4 header");
    }

    bool KeyLine(std::string_view svLine)
    {
        size_t iClose = svLine.rfind(']');
        if (iClose == std::string_view::npos)
            return FailHere("key line without a closing ']'");
        if (!RestIsEmpty(svLine, iClose + 1))
            return FailHere("unexpected text after the key name");
        std::string_view svPath = svLine.substr(1, iClose - 1);
        bool fDelete = !svPath.empty() && svPath[0] == '-';
        if (fDelete)
            svPath.remove_prefix(1);
        // One trailing backslash is harmless; an empty name inside the path is not.
        if (!svPath.empty() && svPath.back() == '\\')
            svPath.remove_suffix(1);
        if (svPath.empty())
            return FailHere("empty key name");
        vsvPath.clear();
        size_t iStart = 0;
        while (true)
        {
            size_t iEnd = svPath.find('\\', iStart);
            std::string_view svPart = svPath.substr(
                iStart, iEnd == std::string_view::npos ? std::string_view::npos : iEnd - iStart);
            if (svPart.empty())
                return FailHere("empty component in key name '" + std::string(svPath) + "'");
            vsvPath.push_back(svPart);
            if (iEnd == std::string_view::npos)
                break;
            iStart = iEnd + 1;
        }
        int iRoot = RootFromName(vsvPath[0]);
        if (iRoot < 0)
            return FailHere("unknown root key '" + std::string(vsvPath[0]) + "'");
        vsvPath.erase(vsvPath.begin());
        if (fDelete && vsvPath.empty())
            return FailHere("a root key cannot be deleted");
        vsOriginals.clear();
        if (!sOriginalsLine.empty())
            OriginalsFromLine();
        if (pConverter && !ForeignKeyPath())
            return false;
        if (!vsOriginals.empty())
            pSink->KeyOriginals(vsOriginals);
        pSink->Key(iRoot, vsvPath, fDelete);
        fHaveKey = true;
        fKeyDeleted = fDelete;
        return true;
    }

    // A name or string of Unicode text in the machine's ANSI code page.
    bool ToAnsi(std::string* ps, size_t nAtLine)
    {
        if (!UnicodeText() || IsAscii(*ps))
            return true;
        std::string sReason;
        if (!pConverter->ToAnsi(*ps, nAtLine, &sConverted, &sReason))
            return Fail(nAtLine, sReason);
        ps->swap(sConverted);
        return true;
    }

    // Windows' limits, and what a line of text cannot carry.
    bool CheckName(std::string_view svName, bool fKey)
    {
        const size_t cchMax = fKey ? kMaxKeyNameLength : kMaxValueNameLength;
        const char* pszWhat = fKey ? "key name" : "value name";
        if (svName.size() > cchMax)
            return FailHere(std::string(pszWhat) + " '" + Shown(svName) + "' is " +
                            std::to_string(svName.size()) + " characters long; Windows allows " +
                            std::to_string(cchMax));
        if (HasLineBreakOrNul(svName))
            return FailHere(std::string(pszWhat) + " '" + Shown(svName) +
                            "' has a line break or NUL, which the machine file cannot carry");
        return true;
    }

    // The machine file's line before a key whose path has names stored in
    // Unicode: the same path with those names as the machine stores them.
    void OriginalsFromLine()
    {
        std::vector<std::string_view> vsvParts;
        std::string_view sv = sOriginalsLine;
        for (size_t iStart = 0;;)
        {
            size_t iEnd = sv.find('\\', iStart);
            vsvParts.push_back(sv.substr(
                iStart, iEnd == std::string_view::npos ? std::string_view::npos : iEnd - iStart));
            if (iEnd == std::string_view::npos)
                break;
            iStart = iEnd + 1;
        }
        if (vsvParts.size() == vsvPath.size() + 1)
            for (size_t i = 0; i < vsvPath.size(); ++i)
                if (vsvParts[i + 1] != vsvPath[i])
                {
                    vsOriginals.resize(vsvPath.size());
                    vsOriginals[i].assign(vsvParts[i + 1]);
                }
        sOriginalsLine.clear();
    }

    bool ForeignKeyPath()
    {
        if (vsvPath.size() > kMaxKeyDepth)
            return FailHere("key path " + std::to_string(vsvPath.size()) +
                            " levels deep; Windows allows " + std::to_string(kMaxKeyDepth));
        if (UnicodeText())
            vsKeyParts.resize(vsvPath.size());
        for (size_t i = 0; i < vsvPath.size(); ++i)
        {
            if (UnicodeText() && !IsAscii(vsvPath[i]))
            {
                vsKeyParts[i].assign(vsvPath[i]);
                if (!ToAnsi(&vsKeyParts[i], nLine))
                    return false;
                // NT keeps and orders the key by the name it stores; the
                // program sees the ANSI form.
                if (Cp1252ToUtf8(vsKeyParts[i]) != vsvPath[i])
                {
                    vsOriginals.resize(vsvPath.size());
                    vsOriginals[i].assign(vsvPath[i]);
                }
                vsvPath[i] = vsKeyParts[i];
            }
            if (!CheckName(vsvPath[i], true))
                return false;
        }
        return true;
    }

    // Reads a quoted string starting at svLine[*piPos] == '"' into *psOut;
    // leaves *piPos after the closing quote.
    bool Quoted(std::string_view svLine, size_t* piPos, std::string* psOut)
    {
        psOut->clear();
        size_t i = *piPos + 1;
        while (i < svLine.size())
        {
            size_t iStop = svLine.find_first_of("\"\\", i);
            if (iStop == std::string_view::npos)
                break;
            psOut->append(svLine.data() + i, iStop - i);
            if (svLine[iStop] == '"')
            {
                *piPos = iStop + 1;
                return true;
            }
            if (iStop + 1 >= svLine.size())
                break;
            char chNext = svLine[iStop + 1];
            if (chNext != '\\' && chNext != '"')
                return FailHere(std::string("unknown escape '\\") + chNext + "' in a string");
            psOut->push_back(chNext);
            i = iStop + 2;
        }
        return FailHere("string without its closing quote");
    }

    bool ValueLine(std::string_view svLine)
    {
        if (!fHaveKey)
            return FailHere("value line before any [key] line");
        if (fKeyDeleted)
            return FailHere("value line under a [-key] deletion");
        size_t iPos = 0;
        if (svLine[0] == '@')
        {
            sValueName.clear();
            iPos = 1;
        }
        else if (!Quoted(svLine, &iPos, &sValueName))
            return false;
        if (pConverter && (!ToAnsi(&sValueName, nLine) || !CheckName(sValueName, false)))
            return false;
        while (iPos < svLine.size() && IsBlank(svLine[iPos]))
            ++iPos;
        if (iPos >= svLine.size() || svLine[iPos] != '=')
            return FailHere("expected '=' after the value name");
        ++iPos;
        while (iPos < svLine.size() && IsBlank(svLine[iPos]))
            ++iPos;
        nValueLine = nLine;

        if (iPos < svLine.size() && svLine[iPos] == '-' && RestIsEmpty(svLine, iPos + 1))
        {
            pSink->RemoveValue(sValueName);
            return true;
        }
        if (iPos < svLine.size() && svLine[iPos] == '"')
        {
            if (!Quoted(svLine, &iPos, &sText))
                return false;
            if (!RestIsEmpty(svLine, iPos))
                return FailHere("unexpected text after the string");
            if (!ToAnsi(&sText, nLine))
                return false;
            sText.push_back('\0');
            pSink->Value(sValueName, REG_SZ, sText);
            return true;
        }
        if (StartsWithNoCase(svLine, iPos, "dword:"))
        {
            iPos += 6;
            DWORD dwValue = 0;
            size_t nDigits = 0;
            for (; iPos < svLine.size() && HexDigit(svLine[iPos]) >= 0; ++iPos, ++nDigits)
                dwValue = (dwValue << 4) | static_cast<DWORD>(HexDigit(svLine[iPos]));
            if (nDigits == 0 || nDigits > 8 || !RestIsEmpty(svLine, iPos))
                return FailHere("dword: needs 1 to 8 hexadecimal digits");
            char achBytes[4];
            for (int i = 0; i < 4; ++i)
                achBytes[i] = static_cast<char>((dwValue >> (8 * i)) & 0xFF);
            pSink->Value(sValueName, REG_DWORD, std::string_view(achBytes, 4));
            return true;
        }
        if (StartsWithNoCase(svLine, iPos, "hex"))
            return HexValue(svLine, iPos + 3);
        return FailHere("unrecognised value data (expected \"text\", dword:, hex: or -)");
    }

    bool HexValue(std::string_view svLine, size_t iPos)
    {
        dwValueType = REG_BINARY;
        if (iPos < svLine.size() && svLine[iPos] == '(')
        {
            DWORD dwType = 0;
            size_t nDigits = 0;
            for (++iPos; iPos < svLine.size() && HexDigit(svLine[iPos]) >= 0; ++iPos, ++nDigits)
                dwType = (dwType << 4) | static_cast<DWORD>(HexDigit(svLine[iPos]));
            if (nDigits == 0 || nDigits > 8 || iPos >= svLine.size() || svLine[iPos] != ')')
                return FailHere("hex(type) needs a hexadecimal type number");
            ++iPos;
            dwValueType = dwType;
        }
        if (iPos >= svLine.size() || svLine[iPos] != ':')
            return FailHere("expected ':' after hex");
        sBytes.clear();
        return HexPart(svLine.substr(iPos + 1));
    }

    bool HexContinuation(std::string_view svLine) { return HexPart(svLine); }

    // One line's share of a hex byte list: "xx,xx,..." with blanks allowed
    // around the commas; a comma may end the line, a backslash continues it.
    bool HexPart(std::string_view svData)
    {
        std::string_view svPart = TrimRight(svData);
        bool fContinued = !svPart.empty() && svPart.back() == '\\';
        if (fContinued)
            svPart.remove_suffix(1);
        size_t iPos = 0;
        const size_t cch = svPart.size();
        while (true)
        {
            while (iPos < cch && IsBlank(svPart[iPos]))
                ++iPos;
            if (iPos >= cch || svPart[iPos] == ';')
                break;
            int nValue = HexDigit(svPart[iPos]);
            if (nValue < 0)
                return FailHere("bad hex byte at '" + std::string(svPart.substr(iPos)) + "'");
            ++iPos;
            if (iPos < cch && HexDigit(svPart[iPos]) >= 0)
                nValue = nValue * 16 + HexDigit(svPart[iPos++]);
            sBytes.push_back(static_cast<char>(nValue));
            while (iPos < cch && IsBlank(svPart[iPos]))
                ++iPos;
            if (iPos >= cch || svPart[iPos] == ';')
                break;
            if (svPart[iPos] != ',')
                return FailHere("expected ',' between hex bytes at '" +
                                std::string(svPart.substr(iPos)) + "'");
            ++iPos;
        }
        if (fContinued)
        {
            fInHex = true;
            nHexLine = nLine;
            return true;
        }
        fInHex = false;
        if (nFormat == RegTextVersion5 && IsStringType(dwValueType))
        {
            // Version 5.00 writes the strings it cannot quote as UTF-16LE bytes;
            // the machine keeps them in its ANSI code page.
            if (!NarrowString(&sBytes, &sWide))
                return false;
            pSink->Value(sValueName, dwValueType, sWide);
            return true;
        }
        pSink->Value(sValueName, dwValueType, sBytes);
        return true;
    }

    // regedit imports a string given as hex as the UTF-16 units its bytes
    // make, ended with a NUL unit where the last whole unit is none: a last
    // odd byte is no part of any unit (regedit writes that NUL over it), and
    // the A calls hand over the units alone. Real machines have such values
    // (a REG_SZ of 49 bytes); the machine stores them all the same.
    bool NarrowString(std::string* psUtf16, std::string* psOut)
    {
        const size_t cbData = psUtf16->size();
        if (cbData % 2 != 0)
            psUtf16->pop_back();
        const size_t cb = psUtf16->size();
        if (cb < 2 || (*psUtf16)[cb - 2] != 0 || (*psUtf16)[cb - 1] != 0)
            psUtf16->append(2, '\0');
        if (pConverter)
        {
            *psOut = Utf16ToUtf8(*psUtf16);
            std::string sReason;
            if (!IsAscii(*psOut))
            {
                if (!pConverter->ToAnsi(*psOut, nValueLine, &sConverted, &sReason))
                    return Fail(nValueLine, sReason);
                psOut->swap(sConverted);
            }
            if (cbData % 2 != 0)
                pConverter->OddLengthString(nValueLine, cbData, *psOut);
            return true;
        }
        unsigned int uBad = 0;
        if (!AnsiFromUtf16(*psUtf16, psOut, &uBad))
            return Fail(nValueLine, "character " + CodePointName(uBad) +
                                        " in a string value has no form in the machine's "
                                        "ANSI code page (Windows-1252)");
        return true;
    }
};

RegTextReader::RegTextReader(const std::string& sName, int fAllowedFormats, RegTextSink* pSink)
    : m_pImpl(new Impl)
{
    m_pImpl->sName = sName;
    m_pImpl->fAllowed = fAllowedFormats | RegTextRegedit4;
    m_pImpl->pSink = pSink;
}

RegTextReader::~RegTextReader() = default;

void RegTextReader::ReadForeign(RegTextConverter* pConverter)
{
    m_pImpl->pConverter = pConverter;
    m_pImpl->RegTextLines::ReadForeign();
    // Without a converter, Unicode text has nowhere to go: read as before.
    m_pImpl->fForeign = pConverter != nullptr;
}

std::string RegTextReader::EncodingName() const
{
    return m_pImpl->EncodingName();
}

bool RegTextReader::Feed(const char* pch, size_t cb)
{
    return m_pImpl->Feed(pch, cb);
}

bool RegTextReader::Finish()
{
    return m_pImpl->Finish();
}

const std::string& RegTextReader::Error() const
{
    return m_pImpl->sError;
}

int RegTextReader::Format() const
{
    return m_pImpl->nFormat;
}

size_t RegTextReader::Line() const
{
    return m_pImpl->nLine;
}

} // namespace detail
} // namespace winsim
