// Machine text on the terminal. The machine's names, strings and log are in
// its ANSI code page (Windows-1252); the preview shows them in the terminal's
// character set, so a printer name reads the same in the assumptions, the log,
// the registry changes and the VendorUninstall calls. The argument text goes
// the other way: typed on the terminal, it reaches the program as the
// machine's ANSI text, as Windows hands a command line to an ANSI program.
#include "preview.h"

#include <winsim/codepage.h>

#include <clocale>
#include <cstring>
#include <langinfo.h>

namespace preview
{

using winsim::detail::Cp1252ToUtf8;
using winsim::detail::Utf8ToCp1252;

namespace
{

bool g_fUtf8 = false;

} // namespace

void InitTerminal()
{
    setlocale(LC_CTYPE, "");
    const char* pszCodeset = nl_langinfo(CODESET);
    g_fUtf8 = pszCodeset && strcmp(pszCodeset, "UTF-8") == 0;
}

std::string ForTerminal(std::string_view svMachineText)
{
    return g_fUtf8 ? Cp1252ToUtf8(svMachineText) : std::string(svMachineText);
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
