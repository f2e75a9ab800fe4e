// Reading registry text, first part: bytes to lines. Decides how the text is
// encoded (UTF-16 of either byte order, UTF-8, Windows-1252) and how its lines
// end, decodes it block by block and hands on one line at a time to the
// grammar (regtext_reader.cpp), which derives from this.
#pragma once

#include <string>
#include <string_view>

namespace winsim
{
namespace detail
{

struct RegTextLines
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

    virtual ~RegTextLines() = default;

    std::string sName;
    // Text written elsewhere (ReadForeign): any encoding and line ends, its
    // Unicode kept as UTF-8; otherwise regedit's own files, in the ANSI code page.
    bool fForeign = false;
    bool fBigEndian = false;
    bool fBom = false;
    Text8 eText8 = Text8Cp1252;
    LineEnds eLineEnds = LineEndsLf;
    std::string sLineEnds; // as the first line ends, for EncodingName
    size_t iLineEndScan = 0;
    std::string sCrText;
    std::string sError;
    bool fFailed = false;
    Encoding eEncoding = EncodingUnknown;
    std::string sStart;   // the first bytes, until the encoding is known
    std::string sPending; // text of a line not yet complete
    std::string sCarry;   // UTF-16: an odd byte or a high surrogate still open
    std::string sDecoded;
    size_t nLine = 0;               // lines handled
    unsigned long long ullNext = 0; // offset of the next line in the input (8-bit)

    // One line without its line end (nor the CR before it; in foreign text,
    // every CR before it) and the first without the byte order mark; ullStart
    // is where it starts in the input (8-bit text), fEnded whether a line end
    // followed it.
    virtual bool Line(std::string_view svLine, unsigned long long ullStart, bool fEnded) = 0;

    bool Fail(size_t nAtLine, const std::string& sReason);
    bool FailHere(const std::string& sReason) { return Fail(nLine, sReason); }

    // Before the first Feed: text written elsewhere.
    void ReadForeign();
    bool Feed(const char* pch, size_t cb);
    // After the last Feed: the encoding of a short text, and its last line.
    bool FinishLines();
    std::string EncodingName() const;
    // Foreign text stored in Unicode, whose names and strings are UTF-8.
    bool UnicodeText() const
    {
        return fForeign && (eEncoding == EncodingUtf16 || eText8 == Text8Utf8);
    }

private:
    bool StartWith();
    bool FeedUtf16(const char* pch, size_t cb);
    bool FlushDecoded();
    size_t LineOfDecodedEnd() const;
    bool DecodeUtf16(const char* pch, size_t cb);
    bool DecodeUtf16AsUtf8(const unsigned char* pb, size_t cb);
    bool DecideLineEnds();
    bool FeedText(const char* pch, size_t cb);
    bool EmitLine(const char* pch, size_t cch, size_t cbNewline);
};

// No byte beyond ASCII.
bool IsAscii(std::string_view sv);

} // namespace detail
} // namespace winsim
