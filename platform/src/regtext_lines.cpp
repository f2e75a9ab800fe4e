// Reading registry text, first part: bytes to lines (see regtext_lines.h).
#include "regtext_lines.h"

#include <winsim/codepage.h>
#include <winsim/regtext_read.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

// The stand-in's own files are host files: the real fopen, not the runtime's
// stand-in that windows.h puts in its place (it maps paths and counts calls).
#undef fopen

namespace winsim
{
namespace detail
{

namespace
{

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

} // namespace

bool IsAscii(std::string_view sv)
{
    for (char ch : sv)
        if (static_cast<unsigned char>(ch) >= 0x80)
            return false;
    return true;
}

bool RegTextLines::Fail(size_t nAtLine, const std::string& sReason)
{
    if (!fFailed)
        sError = sName + ":" + std::to_string(nAtLine) + ": " + sReason;
    fFailed = true;
    return false;
}

void RegTextLines::ReadForeign()
{
    fForeign = true;
    eText8 = Text8Undecided;
    eLineEnds = LineEndsUnknown;
}

bool RegTextLines::Feed(const char* pch, size_t cb)
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
bool RegTextLines::StartWith()
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
        if (!fForeign)
            return Fail(1, "unknown encoding: UTF-16 big-endian (regedit writes UTF-16LE)");
        eEncoding = EncodingUtf16;
        fBom = fBigEndian = true;
        return FeedUtf16(sBytesIn.data() + 2, cb - 2);
    }
    // Without a byte order mark, UTF-16 shows in the zero high bytes of
    // the header's ASCII letters.
    if (fForeign && cb >= 2 && (pb[0] == 0) != (pb[1] == 0))
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
        if (fForeign)
            fBom = true, eText8 = Text8Utf8;
    }
    ullNext = iSkip;
    return FeedText(sBytesIn.data() + iSkip, cb - iSkip);
}

bool RegTextLines::FeedUtf16(const char* pch, size_t cb)
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

bool RegTextLines::FlushDecoded()
{
    std::string sChunk;
    sChunk.swap(sDecoded);
    return FeedText(sChunk.data(), sChunk.size());
}

size_t RegTextLines::LineOfDecodedEnd() const
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
bool RegTextLines::DecodeUtf16(const char* pch, size_t cb)
{
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(pch);
    size_t i = 0;
    sDecoded.reserve(sDecoded.size() + cb / 2);
    if (fForeign)
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
            return Fail(LineOfDecodedEnd(), "character " + CodePointName(uChar) +
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
bool RegTextLines::DecodeUtf16AsUtf8(const unsigned char* pb, size_t cb)
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
bool RegTextLines::DecideLineEnds()
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

bool RegTextLines::FeedText(const char* pch, size_t cb)
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
        if (!EmitLine(sLine.data(), sLine.size(), 1))
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
        if (!EmitLine(p, static_cast<size_t>(pNewline - p), 1))
            return false;
        p = pNewline + 1;
    }
    return true;
}

bool RegTextLines::FinishLines()
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
        if (!EmitLine(sLine.data(), sLine.size(), 0))
            return false;
    }
    return true;
}

// One line without its newline; cbNewline is what followed it in the input.
bool RegTextLines::EmitLine(const char* pch, size_t cch, size_t cbNewline)
{
    ++nLine;
    unsigned long long ullStart = ullNext;
    ullNext += cch + cbNewline;
    std::string_view svLine(pch, cch);
    if (!svLine.empty() && svLine.back() == '\r')
        svLine.remove_suffix(1);
    if (fForeign)
    {
        while (!svLine.empty() && svLine.back() == '\r')
            svLine.remove_suffix(1);
        // Saved by an editor in UTF-8 or by regedit in the ANSI code page:
        // the first line that is not ASCII tells.
        if (eEncoding == Encoding8Bit && eText8 == Text8Undecided && !IsAscii(svLine))
            eText8 = LooksUtf8(svLine) ? Text8Utf8 : Text8Cp1252;
    }
    return Line(svLine, ullStart, cbNewline > 0);
}

std::string RegTextLines::EncodingName() const
{
    std::string sName;
    if (eEncoding == EncodingUtf16)
        sName = std::string(fBigEndian ? "UTF-16BE" : "UTF-16LE") +
                (fBom ? "" : " without byte order mark");
    else if (eText8 == Text8Utf8)
        sName = fBom ? "UTF-8 with byte order mark" : "UTF-8";
    else if (eText8 == Text8Cp1252)
        sName = "Windows-1252";
    else
        sName = "ASCII";
    if (!sLineEnds.empty())
        sName += ", " + sLineEnds + " line ends";
    return sName;
}

// Reads a whole file in blocks through the reader.
bool ReadRegFile(const std::string& sPath, int fAllowedFormats, RegTextSink* pSink,
                 std::string* psError, int* pnFormat, RegTextConverter* pConverter,
                 std::string* psEncoding)
{
    FILE* pFile = ::fopen(sPath.c_str(), "rb");
    if (!pFile)
    {
        if (psError)
            *psError = sPath + ": cannot be read: " + strerror(errno);
        return false;
    }
    RegTextReader reader(sPath, fAllowedFormats, pSink);
    if (pConverter)
        reader.ReadForeign(pConverter);
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
    if (psEncoding)
        *psEncoding = reader.EncodingName();
    return fOk;
}

} // namespace detail
} // namespace winsim
