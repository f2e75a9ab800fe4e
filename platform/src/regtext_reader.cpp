// Reading registry text: REGEDIT4, and regedit's version 5.00 (UTF-16LE, turned
// into the machine's ANSI code page). The reader takes the text in blocks of
// any size and hands each item on as soon as its line is read, so a whole
// machine's export loads without a second copy of it in memory.
#include "winsim_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

// The stand-in's own files are host files: the real fopen, not the runtime's
// stand-in that windows.h puts in its place (it maps paths and counts calls).
#undef fopen

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

std::string CodePointText(unsigned int uChar)
{
    char szBuffer[16];
    snprintf(szBuffer, sizeof szBuffer, "U+%04X", uChar);
    return szBuffer;
}

bool IsStringType(DWORD dwType)
{
    return dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ;
}

bool IsAscii(std::string_view sv)
{
    for (char ch : sv)
        if (static_cast<unsigned char>(ch) >= 0x80)
            return false;
    return true;
}

// Whether the ANSI text says exactly what the UTF-8 text does.
bool LosslessAnsi(std::string_view svAnsi, std::string_view svUtf8)
{
    std::string sBack;
    for (char ch : svAnsi)
        AppendUtf8(UnitFromAnsi(static_cast<unsigned char>(ch)), &sBack);
    return sBack == svUtf8;
}

// UTF-16LE units as UTF-8; an unpaired surrogate keeps its three-byte form.
void Utf8FromUtf16(std::string_view svUtf16, std::string* psOut)
{
    psOut->clear();
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(svUtf16.data());
    for (size_t i = 0; i + 1 < svUtf16.size();)
    {
        unsigned int uChar = NextUtf16(pb, svUtf16.size(), &i);
        AppendUtf8(uChar, psOut);
    }
}

// Well-formed UTF-8 with at least one sequence beyond ASCII: a line of
// Windows-1252 text almost never is.
bool LooksUtf8(std::string_view sv)
{
    bool fMultiByte = false;
    size_t i = 0;
    while (i < sv.size())
    {
        unsigned char b = static_cast<unsigned char>(sv[i]);
        size_t nMore = b < 0x80                 ? 0
                       : b >= 0xC2 && b <= 0xDF ? 1
                       : b >= 0xE0 && b <= 0xEF ? 2
                       : b >= 0xF0 && b <= 0xF4 ? 3
                                                : 4;
        if (nMore == 4 || sv.size() - i <= nMore)
            return false;
        for (size_t k = 1; k <= nMore; ++k)
            if ((static_cast<unsigned char>(sv[i + k]) & 0xC0) != 0x80)
                return false;
        fMultiByte = fMultiByte || nMore > 0;
        i += nMore + 1;
    }
    return fMultiByte;
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

// The character at *pi of UTF-16LE bytes: a surrogate pair as one, an unpaired
// surrogate as itself; *pi moves past it.
unsigned int NextUtf16(const unsigned char* pb, size_t cb, size_t* pi)
{
    size_t i = *pi;
    unsigned int uChar = pb[i] | (pb[i + 1] << 8);
    *pi = i + 2;
    if (uChar >= 0xD800 && uChar <= 0xDBFF && i + 3 < cb)
    {
        unsigned int uLow = pb[i + 2] | (pb[i + 3] << 8);
        if (uLow >= 0xDC00 && uLow <= 0xDFFF)
        {
            *pi = i + 4;
            return 0x10000 + ((uChar - 0xD800) << 10) + (uLow - 0xDC00);
        }
    }
    return uChar;
}

void AppendUtf8(unsigned int uChar, std::string* psOut)
{
    if (uChar < 0x80)
        psOut->push_back(static_cast<char>(uChar));
    else if (uChar < 0x800)
    {
        psOut->push_back(static_cast<char>(0xC0 | (uChar >> 6)));
        psOut->push_back(static_cast<char>(0x80 | (uChar & 0x3F)));
    }
    else if (uChar < 0x10000)
    {
        psOut->push_back(static_cast<char>(0xE0 | (uChar >> 12)));
        psOut->push_back(static_cast<char>(0x80 | ((uChar >> 6) & 0x3F)));
        psOut->push_back(static_cast<char>(0x80 | (uChar & 0x3F)));
    }
    else
    {
        psOut->push_back(static_cast<char>(0xF0 | (uChar >> 18)));
        psOut->push_back(static_cast<char>(0x80 | ((uChar >> 12) & 0x3F)));
        psOut->push_back(static_cast<char>(0x80 | ((uChar >> 6) & 0x3F)));
        psOut->push_back(static_cast<char>(0x80 | (uChar & 0x3F)));
    }
}

// Windows-1252: Latin-1 except for 0x80-0x9F, where it has typographic
// characters; the five bytes it leaves undefined map to the same C1 controls.
bool AnsiFromUnicode(unsigned int uChar, char* pch)
{
    static const unsigned short s_awHigh[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    if (uChar < 0x80 || (uChar >= 0xA0 && uChar <= 0xFF))
    {
        *pch = static_cast<char>(uChar);
        return true;
    }
    for (int i = 0; i < 32; ++i)
    {
        if (s_awHigh[i] == uChar)
        {
            *pch = static_cast<char>(0x80 + i);
            return true;
        }
    }
    return false;
}

bool AnsiFromUtf16(std::string_view svUtf16, std::string* psOut, unsigned int* puBad)
{
    psOut->clear();
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(svUtf16.data());
    for (size_t i = 0; i + 1 < svUtf16.size();)
    {
        unsigned int uChar = NextUtf16(pb, svUtf16.size(), &i);
        char chAnsi = 0;
        if (!AnsiFromUnicode(uChar, &chAnsi))
        {
            *puBad = uChar;
            return false;
        }
        psOut->push_back(chAnsi);
    }
    return true;
}

std::string CodePointName(unsigned int uChar)
{
    return CodePointText(uChar);
}

struct RegTextReader::Impl
{
    enum Encoding
    {
        EncodingUnknown,
        Encoding8Bit,
        EncodingUtf16
    };

    enum Text8
    {
        Text8Undecided,
        Text8Cp1252,
        Text8Utf8
    };
    enum LineEnds
    {
        LineEndsUnknown,
        LineEndsLf, // LF, CR LF or CR CR LF
        LineEndsCr
    };

    std::string sName;
    int fAllowed = RegTextRegedit4;
    RegTextSink* pSink = nullptr;
    // Set for text written elsewhere (ReadForeign).
    RegTextConverter* pConverter = nullptr;
    bool fBigEndian = false;
    bool fBom = false;
    Text8 eText8 = Text8Cp1252;
    LineEnds eLineEnds = LineEndsLf;
    std::string sLineEnds; // as the first line ends, for EncodingName
    size_t iLineEndScan = 0;
    std::string sCrText;
    std::vector<std::string> vsKeyParts;
    std::string sOriginalsLine;           // the last ";winsim:key " line's path
    std::vector<std::string> vsOriginals; // the key line's Unicode names (UTF-8)
    std::string sConverted;
    std::string sError;
    bool fFailed = false;
    int nFormat = 0;
    Encoding eEncoding = EncodingUnknown;
    std::string sStart;   // the first bytes, until the encoding is known
    std::string sPending; // text of a line not yet complete
    std::string sCarry;   // UTF-16: an odd byte or a high surrogate still open
    std::string sDecoded;
    size_t nLine = 0;               // lines handled
    unsigned long long ullNext = 0; // offset of the next line in the input (8-bit)
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

    bool Fail(size_t nAtLine, const std::string& sReason)
    {
        if (!fFailed)
            sError = sName + ":" + std::to_string(nAtLine) + ": " + sReason;
        fFailed = true;
        return false;
    }

    bool FailHere(const std::string& sReason) { return Fail(nLine, sReason); }

    bool Feed(const char* pch, size_t cb)
    {
        if (fFailed)
            return false;
        if (eEncoding == EncodingUnknown)
        {
            sStart.append(pch, cb);
            if (sStart.size() < 3)
                return true;
            return StartWith();
        }
        if (eEncoding == EncodingUtf16)
            return FeedUtf16(pch, cb);
        return FeedText(pch, cb);
    }

    // Decides the encoding from the first bytes (at least three of them, or
    // all there are).
    bool StartWith()
    {
        std::string sBytesIn;
        sBytesIn.swap(sStart);
        const unsigned char* pb = reinterpret_cast<const unsigned char*>(sBytesIn.data());
        size_t cb = sBytesIn.size();
        if (cb >= 2 && pb[0] == 0xFF && pb[1] == 0xFE)
        {
            eEncoding = EncodingUtf16;
            fBom = true;
            return FeedUtf16(sBytesIn.data() + 2, cb - 2);
        }
        if (cb >= 2 && pb[0] == 0xFE && pb[1] == 0xFF)
        {
            if (!pConverter)
                return Fail(1, "unknown encoding: UTF-16 big-endian (regedit writes UTF-16LE)");
            eEncoding = EncodingUtf16;
            fBom = fBigEndian = true;
            return FeedUtf16(sBytesIn.data() + 2, cb - 2);
        }
        // Without a byte order mark, UTF-16 shows in the zero high bytes of
        // the header's ASCII letters.
        if (pConverter && cb >= 2 && (pb[0] == 0) != (pb[1] == 0))
        {
            eEncoding = EncodingUtf16;
            fBigEndian = pb[0] == 0;
            return FeedUtf16(sBytesIn.data(), cb);
        }
        eEncoding = Encoding8Bit;
        size_t iSkip = 0;
        if (cb >= 3 && pb[0] == 0xEF && pb[1] == 0xBB && pb[2] == 0xBF)
        {
            iSkip = 3;
            if (pConverter)
                fBom = true, eText8 = Text8Utf8;
        }
        ullNext = iSkip;
        return FeedText(sBytesIn.data() + iSkip, cb - iSkip);
    }

    bool FeedUtf16(const char* pch, size_t cb)
    {
        sDecoded.clear();
        if (!sCarry.empty())
        {
            std::string sJoined;
            sJoined.swap(sCarry);
            sJoined.append(pch, cb);
            if (!DecodeUtf16(sJoined.data(), sJoined.size()))
                return false;
        }
        else if (!DecodeUtf16(pch, cb))
            return false;
        return FlushDecoded();
    }

    bool FlushDecoded()
    {
        std::string sChunk;
        sChunk.swap(sDecoded);
        return FeedText(sChunk.data(), sChunk.size());
    }

    size_t LineOfDecodedEnd() const
    {
        size_t nNewlines = 0;
        for (char ch : sPending)
            nNewlines += ch == '\n';
        for (char ch : sDecoded)
            nNewlines += ch == '\n';
        return nLine + nNewlines + 1;
    }

    // Appends the ANSI form of whole UTF-16 units to sDecoded; an incomplete
    // unit or surrogate pair at the end goes to sCarry.
    bool DecodeUtf16(const char* pch, size_t cb)
    {
        const unsigned char* pb = reinterpret_cast<const unsigned char*>(pch);
        size_t i = 0;
        sDecoded.reserve(sDecoded.size() + cb / 2);
        if (pConverter)
            return DecodeUtf16AsUtf8(pb, cb);
        while (i + 1 < cb)
        {
            unsigned int uUnit = pb[i] | (pb[i + 1] << 8);
            if (uUnit < 0x80)
            {
                sDecoded.push_back(static_cast<char>(uUnit));
                i += 2;
                continue;
            }
            unsigned int uChar = uUnit;
            size_t cbChar = 2;
            if (uUnit >= 0xD800 && uUnit <= 0xDBFF)
            {
                if (i + 3 >= cb)
                    break;
                unsigned int uLow = pb[i + 2] | (pb[i + 3] << 8);
                if (uLow >= 0xDC00 && uLow <= 0xDFFF)
                {
                    uChar = 0x10000 + ((uUnit - 0xD800) << 10) + (uLow - 0xDC00);
                    cbChar = 4;
                }
            }
            char chAnsi = 0;
            if (!AnsiFromUnicode(uChar, &chAnsi))
                return Fail(LineOfDecodedEnd(), "character " + CodePointText(uChar) +
                                                    " has no form in the machine's ANSI code page "
                                                    "(Windows-1252)");
            sDecoded.push_back(chAnsi);
            i += cbChar;
        }
        sCarry.assign(pch + i, cb - i);
        return true;
    }

    // Text written elsewhere stays Unicode (as UTF-8) until each name and
    // string goes through the converter.
    bool DecodeUtf16AsUtf8(const unsigned char* pb, size_t cb)
    {
        const int iHigh = fBigEndian ? 0 : 1;
        const int iLow = 1 - iHigh;
        size_t i = 0;
        while (i + 1 < cb)
        {
            unsigned int uUnit = pb[i + iLow] | (pb[i + iHigh] << 8);
            if (uUnit < 0x80)
            {
                sDecoded.push_back(static_cast<char>(uUnit));
                i += 2;
                continue;
            }
            size_t cbChar = 2;
            if (uUnit >= 0xD800 && uUnit <= 0xDBFF)
            {
                if (i + 3 >= cb)
                    break;
                unsigned int uLow = pb[i + 2 + iLow] | (pb[i + 2 + iHigh] << 8);
                if (uLow >= 0xDC00 && uLow <= 0xDFFF)
                {
                    uUnit = 0x10000 + ((uUnit - 0xD800) << 10) + (uLow - 0xDC00);
                    cbChar = 4;
                }
            }
            AppendUtf8(uUnit, &sDecoded);
            i += cbChar;
        }
        sCarry.assign(reinterpret_cast<const char*>(pb) + i, cb - i);
        return true;
    }

    // Until the first line end tells whether lines end in LF (after any CRs)
    // or in a CR alone, the text waits.
    bool DecideLineEnds()
    {
        // Only text not searched before: a first line of any length costs
        // its length once.
        size_t iEnd = sPending.find_first_of("\r\n", iLineEndScan);
        if (iEnd == std::string::npos)
        {
            iLineEndScan = sPending.size();
            return false;
        }
        iLineEndScan = iEnd;
        size_t iAfter = sPending.find_first_not_of('\r', iEnd);
        if (iAfter == std::string::npos)
            return false;
        eLineEnds = sPending[iAfter] == '\n' ? LineEndsLf : LineEndsCr;
        sLineEnds = eLineEnds == LineEndsCr ? "CR"
                    : iAfter == iEnd        ? "LF"
                    : iAfter == iEnd + 1    ? "CR LF"
                                            : "CR CR LF";
        return true;
    }

    bool FeedText(const char* pch, size_t cb)
    {
        if (eLineEnds == LineEndsUnknown)
        {
            sPending.append(pch, cb);
            if (!DecideLineEnds())
                return true;
            std::string sHeld;
            sHeld.swap(sPending);
            return FeedText(sHeld.data(), sHeld.size());
        }
        if (eLineEnds == LineEndsCr)
        {
            sCrText.assign(pch, cb);
            for (char& ch : sCrText)
                if (ch == '\r')
                    ch = '\n';
            pch = sCrText.data();
        }
        const char* pEnd = pch + cb;
        const char* p = pch;
        if (!sPending.empty())
        {
            const char* pNewline = static_cast<const char*>(memchr(p, '\n', cb));
            if (!pNewline)
            {
                sPending.append(p, cb);
                return true;
            }
            sPending.append(p, static_cast<size_t>(pNewline - p));
            std::string sLine;
            sLine.swap(sPending);
            if (!Line(sLine.data(), sLine.size(), 1))
                return false;
            p = pNewline + 1;
        }
        while (p < pEnd)
        {
            const char* pNewline =
                static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(pEnd - p)));
            if (!pNewline)
            {
                sPending.assign(p, static_cast<size_t>(pEnd - p));
                return true;
            }
            if (!Line(p, static_cast<size_t>(pNewline - p), 1))
                return false;
            p = pNewline + 1;
        }
        return true;
    }

    bool Finish()
    {
        if (fFailed)
            return false;
        if (eEncoding == EncodingUnknown && !StartWith())
            return false;
        if (eEncoding == EncodingUtf16 && !sCarry.empty())
            return Fail(LineOfDecodedEnd(),
                        "truncated UTF-16 file: it ends in the middle of a character");
        if (eLineEnds == LineEndsUnknown)
        {
            // One line at most, or lines that end in CRs alone at the very end.
            eLineEnds = LineEndsLf;
            std::string sHeld;
            sHeld.swap(sPending);
            for (char& ch : sHeld)
                if (ch == '\r')
                    ch = '\n';
            if (!FeedText(sHeld.data(), sHeld.size()))
                return false;
        }
        if (!sPending.empty())
        {
            std::string sLine;
            sLine.swap(sPending);
            if (!Line(sLine.data(), sLine.size(), 0))
                return false;
        }
        if (!fHeaderSeen)
            return Fail(nLine == 0 ? 1 : nLine, "empty file, expected the REGEDIT4 header");
        if (fInHex)
            return Fail(nHexLine, "continuation backslash on the last line");
        return true;
    }

    // One line without its newline; cbNewline is what followed it in the input.
    bool Line(const char* pch, size_t cch, size_t cbNewline)
    {
        ++nLine;
        unsigned long long ullStart = ullNext;
        ullNext += cch + cbNewline;
        std::string_view svLine(pch, cch);
        if (!svLine.empty() && svLine.back() == '\r')
            svLine.remove_suffix(1);
        if (pConverter)
        {
            while (!svLine.empty() && svLine.back() == '\r')
                svLine.remove_suffix(1);
            // Saved by an editor in UTF-8 or by regedit in the ANSI code page:
            // the first line that is not ASCII tells.
            if (eEncoding == Encoding8Bit && eText8 == Text8Undecided && !IsAscii(svLine))
                eText8 = LooksUtf8(svLine) ? Text8Utf8 : Text8Cp1252;
        }
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
            if (svComment == kRecordBegin || (svComment == kRecordEnd && cbNewline > 0))
                pSink->RecordMark(svComment == kRecordEnd, ullStart);
            else if (svComment.substr(0, sizeof kKeyOriginals - 1) == kKeyOriginals)
                sOriginalsLine.assign(svComment.substr(sizeof kKeyOriginals - 1));
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

    bool UnicodeText() const
    {
        return pConverter && (eEncoding == EncodingUtf16 || eText8 == Text8Utf8);
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
                if (!LosslessAnsi(vsKeyParts[i], vsvPath[i]))
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
            Utf8FromUtf16(*psUtf16, psOut);
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
            return Fail(nValueLine, "character " + CodePointText(uBad) +
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
    m_pImpl->eText8 = Impl::Text8Undecided;
    m_pImpl->eLineEnds = Impl::LineEndsUnknown;
}

std::string RegTextReader::EncodingName() const
{
    const Impl& impl = *m_pImpl;
    std::string sName;
    if (impl.eEncoding == Impl::EncodingUtf16)
        sName = std::string(impl.fBigEndian ? "UTF-16BE" : "UTF-16LE") +
                (impl.fBom ? "" : " without byte order mark");
    else if (impl.eText8 == Impl::Text8Utf8)
        sName = impl.fBom ? "UTF-8 with byte order mark" : "UTF-8";
    else if (impl.eText8 == Impl::Text8Cp1252)
        sName = "Windows-1252";
    else
        sName = "ASCII";
    if (!impl.sLineEnds.empty())
        sName += ", " + impl.sLineEnds + " line ends";
    return sName;
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

bool ReadRegFile(const std::string& sPath, int fAllowedFormats, RegTextSink* pSink,
                 std::string* psError, int* pnFormat)
{
    FILE* pFile = ::fopen(sPath.c_str(), "rb");
    if (!pFile)
    {
        if (psError)
            *psError = sPath + ": cannot be read: " + strerror(errno);
        return false;
    }
    RegTextReader reader(sPath, fAllowedFormats, pSink);
    std::vector<char> vchBlock(1 << 20);
    bool fOk = true;
    while (fOk)
    {
        size_t cbRead = fread(vchBlock.data(), 1, vchBlock.size(), pFile);
        if (cbRead == 0)
            break;
        fOk = reader.Feed(vchBlock.data(), cbRead);
    }
    bool fReadError = ferror(pFile) != 0;
    fclose(pFile);
    if (fReadError)
    {
        if (psError)
            *psError = sPath + ": cannot be read: " + strerror(EIO);
        return false;
    }
    if (fOk)
        fOk = reader.Finish();
    if (!fOk && psError)
        *psError = reader.Error();
    if (pnFormat)
        *pnFormat = reader.Format();
    return fOk;
}

} // namespace detail
} // namespace winsim
