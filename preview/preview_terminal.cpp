// Machine text on the terminal. The machine's names, strings and log are in
// its ANSI code page (Windows-1252); the preview shows them in the terminal's
// character set, so a printer name reads the same in the assumptions, the log,
// the registry changes and the VendorUninstall calls, and a character the
// terminal cannot show is escaped where it stands instead of arriving as a
// stray byte. The argument text goes the other way: typed on the terminal, it
// reaches the program as the machine's ANSI text, as Windows hands a command
// line to an ANSI program.
#include "preview.h"

#include <winsim/codepage.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>

namespace preview
{

using winsim::detail::Cp1252ToUtf8;
using winsim::detail::Utf8ToCp1252;

namespace
{

bool g_fUtf8 = false;
iconv_t g_toLocale = reinterpret_cast<iconv_t>(-1);

void AppendEscape(const char* pszFormat, unsigned int u, std::string* psOut)
{
    char sz[16];
    snprintf(sz, sizeof sz, pszFormat, u);
    *psOut += sz;
}

// One character in the locale's character set; false where it has none.
bool AppendInLocale(std::string_view svChar, std::string* psOut)
{
    if (g_toLocale == reinterpret_cast<iconv_t>(-1))
        return false;
    char achIn[4];
    char achOut[16];
    memcpy(achIn, svChar.data(), svChar.size());
    char* pIn = achIn;
    char* pOut = achOut;
    size_t nIn = svChar.size();
    size_t nOut = sizeof achOut;
    iconv(g_toLocale, nullptr, nullptr, nullptr, nullptr);
    if (iconv(g_toLocale, &pIn, &nIn, &pOut, &nOut) == static_cast<size_t>(-1) || nIn != 0)
        return false;
    psOut->append(achOut, static_cast<size_t>(pOut - achOut));
    return true;
}

} // namespace

void InitTerminal()
{
    setlocale(LC_CTYPE, "");
    const char* pszCodeset = nl_langinfo(CODESET);
    g_fUtf8 = pszCodeset && strcmp(pszCodeset, "UTF-8") == 0;
    if (!g_fUtf8 && pszCodeset && *pszCodeset)
        g_toLocale = iconv_open(pszCodeset, "UTF-8");
}

std::string ForTerminal(std::string_view svMachineText)
{
    return Cp1252ToUtf8(svMachineText);
}

size_t DecodeUtf8(std::string_view svText, size_t i, unsigned int* puChar)
{
    unsigned char chLead = static_cast<unsigned char>(svText[i]);
    if (chLead < 0x80)
    {
        *puChar = chLead;
        return 1;
    }
    size_t nBytes = chLead >= 0xF0 ? 4 : chLead >= 0xE0 ? 3 : chLead >= 0xC0 ? 2 : 0;
    if (nBytes == 0 || chLead > 0xF4 || i + nBytes > svText.size())
        return 0;
    unsigned int uChar = chLead & (0x7F >> nBytes);
    for (size_t k = 1; k < nBytes; ++k)
    {
        unsigned char ch = static_cast<unsigned char>(svText[i + k]);
        if ((ch & 0xC0) != 0x80)
            return 0;
        uChar = (uChar << 6) | (ch & 0x3F);
    }
    static const unsigned int s_auSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (uChar < s_auSmallest[nBytes] || uChar > 0x10FFFF || (uChar >= 0xD800 && uChar < 0xE000))
        return 0;
    *puChar = uChar;
    return nBytes;
}

std::string FitTerminal(std::string_view svUtf8)
{
    std::string sOut;
    sOut.reserve(svUtf8.size());
    for (size_t i = 0; i < svUtf8.size();)
    {
        unsigned int uChar = 0;
        size_t nBytes = DecodeUtf8(svUtf8, i, &uChar);
        if (nBytes == 0)
        {
            AppendEscape("<0x%02X>", static_cast<unsigned char>(svUtf8[i]), &sOut);
            ++i;
            continue;
        }
        std::string_view svChar = svUtf8.substr(i, nBytes);
        i += nBytes;
        bool fControl =
            (uChar < 0x20 && uChar != '\t' && uChar != '\n') || (uChar >= 0x7F && uChar < 0xA0);
        if (fControl)
            AppendEscape("<U+%04X>", uChar, &sOut);
        else if (uChar < 0x80 || g_fUtf8)
            sOut += svChar;
        else if (!AppendInLocale(svChar, &sOut))
            AppendEscape("<U+%04X>", uChar, &sOut);
    }
    return sOut;
}

std::string TypedAsUtf8(const std::string& sTyped)
{
    return g_fUtf8 ? sTyped : Cp1252ToUtf8(sTyped);
}

bool ArgumentForMachine(const std::string& sTyped, std::string* psAnsi, size_t* pnChanged)
{
    *pnChanged = 0;
    if (!g_fUtf8)
    {
        *psAnsi = sTyped;
        return true;
    }
    return Utf8ToCp1252(sTyped, psAnsi, pnChanged);
}

} // namespace preview
