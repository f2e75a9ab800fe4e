// Reading registry exports: regedit's version 5.00 (UTF-16LE) next to
// REGEDIT4, text handed over in pieces of any size, the round trip of an
// export, and every kind of bad input.
#include "platform_test_util.h"

#include <cstring>

#include <winsim/codepage.h>
#include <winsim/regtext_read.h>
#include <winsim/regtext_write.h>

namespace
{

using namespace winsim::detail;
using platform_test::TempFolder;

// Text as regedit 5.00 writes it: a byte order mark, UTF-16LE, CR LF.
std::string Utf16(const std::u16string& sText)
{
    std::string sOut = "\xFF\xFE";
    for (char16_t ch : sText)
    {
        if (ch == u'\n')
            sOut.append("\r\0", 2);
        sOut += static_cast<char>(ch & 0xFF);
        sOut += static_cast<char>(ch >> 8);
    }
    return sOut;
}

// Reads bytes in pieces of cbPiece; the registry as REGEDIT4, or the error.
std::string Read(const std::string& sBytes, size_t cbPiece = 0, bool* pfOk = nullptr)
{
    Registry registry;
    RegTreeSink sink(registry);
    RegTextReader reader("x.reg", RegTextRegedit4 | RegTextVersion5, &sink);
    bool fOk = true;
    if (cbPiece == 0)
        cbPiece = sBytes.size() + 1;
    for (size_t i = 0; fOk && i < sBytes.size(); i += cbPiece)
        fOk = reader.Feed(sBytes.data() + i, std::min(cbPiece, sBytes.size() - i));
    fOk = fOk && reader.Finish();
    if (pfOk)
        *pfOk = fOk;
    return fOk ? FormatRegText(registry) : reader.Error();
}

// Every construct regedit writes, once in each format. Strings the 5.00
// export writes as hex lists are UTF-16LE there and ANSI in REGEDIT4.
const char16_t kVersion5[] = u"Windows Registry Editor Version 5.00\n"
                             u"\n"
                             u"; exported\n"
                             u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\Caf\u00e9]\n"
                             u"@=\"default \\\"quoted\\\" C:\\\\WINDOWS \u20ac\"\n"
                             u"\"Flag\"=dword:0000002a\n"
                             u"\"Bin\"=hex:01,02,\\\n"
                             u"  03,04\n"
                             u"\"None\"=hex(0):\n"
                             u"\"Sz\"=hex(1):41,00,00,00\n"
                             u"\"Expand\"=hex(2):25,00,41,00,ac,20,00,00\n"
                             u"\"Big\"=hex(5):00,00,00,01\n"
                             u"\"Link\"=hex(6):4c,00\n"
                             u"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
                             u"\"Res\"=hex(8):01\n"
                             u"\"Full\"=hex(9):02\n"
                             u"\"Req\"=hex(a):03\n"
                             u"\"Qword\"=hex(b):01,00,00,00,00,00,00,00\n"
                             u"\"Gone\"=-\n"
                             u"\n"
                             u"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
                             u"\n"
                             u"[HKEY_CURRENT_USER\\Software\\Brenmoor]\n"
                             u"\"Name with \\\\ and \\\"\"=\"x\"\n";

const char kRegedit4[] = "REGEDIT4\n"
                         "\n"
                         "; exported\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\Caf\xe9]\n"
                         "@=\"default \\\"quoted\\\" C:\\\\WINDOWS \x80\"\n"
                         "\"Flag\"=dword:0000002a\n"
                         "\"Bin\"=hex:01,02,\\\n"
                         "  03,04\n"
                         "\"None\"=hex(0):\n"
                         "\"Sz\"=hex(1):41,00\n"
                         "\"Expand\"=hex(2):25,41,80,00\n"
                         "\"Big\"=hex(5):00,00,00,01\n"
                         "\"Link\"=hex(6):4c,00\n"
                         "\"Multi\"=hex(7):61,00,62,00,00\n"
                         "\"Res\"=hex(8):01\n"
                         "\"Full\"=hex(9):02\n"
                         "\"Req\"=hex(a):03\n"
                         "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\n"
                         "\"Gone\"=-\n"
                         "\n"
                         "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
                         "\n"
                         "[HKEY_CURRENT_USER\\Software\\Brenmoor]\n"
                         "\"Name with \\\\ and \\\"\"=\"x\"\n";

TEST(RegReadTest, BothFormatsReadEveryConstructToTheSameRegistryInPiecesOfAnySize)
{
    bool fOk = false;
    std::string sFrom4 = Read(kRegedit4, 0, &fOk);
    ASSERT_TRUE(fOk) << sFrom4;
    EXPECT_NE(std::string::npos, sFrom4.find("\"Expand\"=hex(2):25,41,80,00\n")) << sFrom4;
    EXPECT_NE(std::string::npos, sFrom4.find("\"Bin\"=hex:01,02,03,04\n")) << sFrom4;
    EXPECT_EQ(std::string::npos, sFrom4.find("Gone"));

    std::string sUtf16 = Utf16(kVersion5);
    // Pieces of 1 and 3 bytes split characters, line ends and continuations.
    for (size_t cbPiece : {size_t(0), size_t(1), size_t(3), size_t(64)})
    {
        EXPECT_EQ(sFrom4, Read(sUtf16, cbPiece, &fOk)) << "pieces of " << cbPiece;
        EXPECT_TRUE(fOk);
        EXPECT_EQ(sFrom4, Read(kRegedit4, cbPiece)) << "pieces of " << cbPiece;
    }

    // A character beyond the basic plane (a surrogate pair) has no ANSI form.
    std::string sPair = Utf16(u"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n"
                              u"\"V\"=\"\U0001F600\"\n");
    EXPECT_EQ("x.reg:3: character U+1F600 has no form in the machine's ANSI code page "
              "(Windows-1252)",
              Read(sPair, 1, &fOk));
    EXPECT_FALSE(fOk);
}

// Windows-1252 where it has the character, '?' elsewhere: enough to see each
// name and string pass through the converter once.
class AnsiOrQuestionMark : public RegTextConverter
{
public:
    bool ToAnsi(std::string_view svUtf8, size_t, std::string* psOut, std::string*) override
    {
        psOut->clear();
        ++nCalls;
        for (size_t i = 0; i < svUtf8.size();)
        {
            unsigned char b = static_cast<unsigned char>(svUtf8[i]);
            size_t cb = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
            unsigned int uChar = cb == 1 ? b : b & (0xFF >> (cb + 1));
            for (size_t k = 1; k < cb; ++k)
                uChar = (uChar << 6) | (static_cast<unsigned char>(svUtf8[i + k]) & 0x3F);
            char ch = '?';
            psOut->push_back(AnsiFromUnicode(uChar, &ch) ? ch : '?');
            i += cb;
        }
        return true;
    }
    int nCalls = 0;
};

std::string ReadForeign(const std::string& sBytes, size_t cbPiece, std::string* psEncoding)
{
    Registry registry;
    RegTreeSink sink(registry);
    AnsiOrQuestionMark converter;
    RegTextReader reader("x.reg", RegTextRegedit4 | RegTextVersion5, &sink);
    reader.ReadForeign(&converter);
    bool fOk = true;
    for (size_t i = 0; fOk && i < sBytes.size(); i += cbPiece)
        fOk = reader.Feed(sBytes.data() + i, std::min(cbPiece, sBytes.size() - i));
    fOk = fOk && reader.Finish();
    *psEncoding = reader.EncodingName();
    return fOk ? FormatRegText(registry) : reader.Error();
}

TEST(RegReadTest, TextWrittenElsewhereReadsAlikeInEveryEncodingAndLineEnd)
{
    const std::string sExpected = Read(kRegedit4);
    std::u16string sText = kVersion5;
    std::string sUtf8;
    for (char16_t ch : sText)
        sUtf8 += ch == u'\u00e9'   ? "\xC3\xA9"
                 : ch == u'\u20ac' ? "\xE2\x82\xAC"
                                   : std::string(1, char(ch));
    auto utf16 = [&](bool fBigEndian, bool fBom, const char* pszEnd)
    {
        std::string sOut = fBom ? (fBigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
        std::u16string sLines;
        for (char16_t ch : sText)
            sLines += ch == u'\n' ? std::u16string(pszEnd, pszEnd + strlen(pszEnd))
                                  : std::u16string(1, ch);
        for (char16_t ch : sLines)
        {
            char achUnit[2] = {static_cast<char>(ch & 0xFF), static_cast<char>(ch >> 8)};
            sOut += fBigEndian ? std::string{achUnit[1], achUnit[0]}
                               : std::string{achUnit[0], achUnit[1]};
        }
        return sOut;
    };
    const struct
    {
        std::string sBytes;
        const char* pszEncoding;
    } aForms[] = {
        {utf16(false, true, "\r\n"), "UTF-16LE, CR LF line ends"},
        {utf16(false, false, "\r\n"), "UTF-16LE without byte order mark, CR LF line ends"},
        {utf16(true, true, "\r\r\n"), "UTF-16BE, CR CR LF line ends"},
        {utf16(true, false, "\r"), "UTF-16BE without byte order mark, CR line ends"},
        {sUtf8, "UTF-8, LF line ends"},
        {"\xEF\xBB\xBF" + sUtf8, "UTF-8 with byte order mark, LF line ends"},
    };
    for (const auto& form : aForms)
    {
        // Pieces of 1 and 3 bytes split units, pairs, CR runs and lines.
        for (size_t cbPiece : {size_t(1), size_t(3), size_t(4096)})
        {
            std::string sEncoding;
            EXPECT_EQ(sExpected, ReadForeign(form.sBytes, cbPiece, &sEncoding))
                << form.pszEncoding << ", pieces of " << cbPiece;
            EXPECT_EQ(form.pszEncoding, sEncoding);
        }
    }
    // A character Windows-1252 lacks comes out as the converter says, once.
    std::string sEncoding;
    std::string sRead = ReadForeign(
        "REGEDIT4\n[HKEY_CURRENT_USER\\A\xE4\xB8\xAD]\n\"\xF0\x9F\x98\x80\"=\"\xC3\xBC\"\n", 2,
        &sEncoding);
    EXPECT_NE(std::string::npos, sRead.find("[HKEY_CURRENT_USER\\A?]\n\"?\"=\"\xFC\"\n")) << sRead;
}

TEST(RegReadTest, AnExportMakesTheRoundTripThroughTheStandInUnchanged)
{
    // Written as the stand-in (and regedit) writes REGEDIT4: sorted keys, a
    // blank line before each, long lists wrapped under 80 columns.
    std::string sExport = "REGEDIT4\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor]\n"
                          "@=\"d\"\n"
                          "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,"
                          "14,15,\\\n"
                          "  16,17,18,19\n"
                          "\"N\"=dword:00000010\n"
                          "\"Paths\"=hex(7):61,00,62,00,00\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\Empty]\n"
                          "\n"
                          "[HKEY_CURRENT_USER\\Software]\n"
                          "\n"
                          "[HKEY_CURRENT_USER\\Software\\Wine]\n"
                          "\"Version\"=\"win98\"\n";
    EXPECT_EQ(sExport, Read(sExport));

    TempFolder folder;
    platform_test::WriteFileBytes(folder / "registry.reg", sExport);
    winsim::Reset();
    std::string sError;
    ASSERT_TRUE(winsim::LoadMachine(folder.Path(), &sError)) << sError;
    EXPECT_EQ(sExport, winsim::ExportReg());
    winsim::Reset();
}

// The data of HKEY_CURRENT_USER\A "V" after reading the text, or the error.
std::string ReadV(const std::string& sBytes)
{
    Registry registry;
    RegTreeSink sink(registry);
    RegTextReader reader("x.reg", RegTextRegedit4 | RegTextVersion5, &sink);
    bool fOk = true;
    for (size_t i = 0; fOk && i < sBytes.size(); ++i)
        fOk = reader.Feed(sBytes.data() + i, 1);
    if (!fOk || !reader.Finish())
        return reader.Error();
    std::shared_ptr<RegKey> pKey = FindKeyByPath(registry, "HKEY_CURRENT_USER\\A");
    const RegValue* pValue = pKey ? FindValue(*pKey, "V") : nullptr;
    return pValue ? std::string(pValue->Bytes()) : "no value";
}

// Strings given as hex are read as regedit imports them: version 5.00 takes
// the whole UTF-16 units (an odd last byte is none) and ends them with a NUL
// where the last is none; REGEDIT4's are ANSI bytes, of any number.
TEST(RegReadTest, StringDataOfAnyLengthIsReadAsRegeditImportsIt)
{
    struct Case
    {
        const char16_t* pszVersion5;
        std::string sRead;
        const char* pszRegedit4; // the same bytes in ANSI
    };
    const Case aCases[] = {
        {u"hex(1):41,00,42,00,00,00,43", std::string("AB\0", 3), "hex(1):41,42,00,43"},
        {u"hex(1):41,00,42,00,43", std::string("AB\0", 3), "hex(1):41,42,43"},
        {u"hex(2):41,00,42,00", std::string("AB\0", 3), "hex(2):41,42"},
        {u"hex(2):41,00,ac,20,43", std::string("A\x80\0", 3), "hex(2):41,80,43"},
        {u"hex(7):41,00,00,00,42,00,00,00,00", std::string("A\0B\0", 4), "hex(7):41,00,42,00,00"},
        {u"hex(1):41", std::string("\0", 1), "hex(1):41"},
    };
    const std::u16string sHead5 =
        u"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=";
    for (const Case& test : aCases)
    {
        EXPECT_EQ(test.sRead, ReadV(Utf16(sHead5 + test.pszVersion5 + u"\n"))) << test.pszRegedit4;
        std::string sAnsi;
        for (const char* pch = strchr(test.pszRegedit4, ':') + 1; *pch; pch += pch[2] ? 3 : 2)
            sAnsi += static_cast<char>(std::stoi(std::string(pch, 2), nullptr, 16));
        EXPECT_EQ(sAnsi, ReadV("REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"V\"=" +
                               std::string(test.pszRegedit4) + "\n"));
    }
}

TEST(RegReadTest, BadExportsAreRefusedWithFileLineAndReason)
{
    struct Case
    {
        std::string sBytes;
        const char* pszError;
    };
    const Case aCases[] = {
        {Utf16(u"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=\"\u4e2d\"\n"),
         "x.reg:3: character U+4E2D has no form in the machine's ANSI code page (Windows-1252)"},
        {Utf16(u"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n") + "\x41",
         "x.reg:3: truncated UTF-16 file: it ends in the middle of a character"},
        {Utf16(u"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n"
               u"\"V\"=hex(1):3d,d8,00,00\n"),
         "x.reg:3: character U+D83D in a string value has no form in the machine's ANSI code "
         "page (Windows-1252)"},
        {Utf16(u"Windows Registry Editor Version 6.00\n"),
         "x.reg:1: unknown header: expected REGEDIT4 or Windows Registry Editor Version 5.00"},
        {std::string("\xFE\xFF\0W", 4),
         "x.reg:1: unknown encoding: UTF-16 big-endian (regedit writes UTF-16LE)"},
        {"Windows Registry Editor Version 5.00\r\n",
         "x.reg:1: a version 5.00 export must be UTF-16LE with its byte order mark, as regedit "
         "writes it"},
        {Utf16(u"\n"), "x.reg:1: empty file, expected the REGEDIT4 header"},
        {Utf16(u"Windows Registry Editor Version 5.00\n[HKEY_NOWHERE\\A]\n"),
         "x.reg:2: unknown root key 'HKEY_NOWHERE'"},
    };
    for (const Case& test : aCases)
    {
        for (size_t cbPiece : {size_t(0), size_t(1)})
        {
            bool fOk = true;
            EXPECT_EQ(test.pszError, Read(test.sBytes, cbPiece, &fOk)) << "pieces of " << cbPiece;
            EXPECT_FALSE(fOk);
        }
    }

    // Machine files stay REGEDIT4: a version 5.00 file is no machine file.
    TempFolder folder;
    platform_test::WriteFileBytes(folder / "registry.reg",
                                  Utf16(u"Windows Registry Editor Version 5.00\n"));
    std::string sError;
    EXPECT_FALSE(winsim::LoadMachine(folder.Path(), &sError));
    EXPECT_NE(std::string::npos, sError.find("registry.reg:1: expected the REGEDIT4 header"))
        << sError;

    EXPECT_FALSE(ReadRegFile(folder / "missing.reg", RegTextVersion5, nullptr, &sError));
    EXPECT_EQ(folder / "missing.reg: cannot be read: No such file or directory", sError);
}

} // namespace
