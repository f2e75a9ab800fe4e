// The command line WinMain gets: the process command line after the program's
// own path and the blanks behind it.
#pragma once

// Scans exactly as the MinGW start-up scanned it before the program had a
// start-up of its own: the path ends at the first blank or control character
// outside double quotes (a quote only toggles, so text glued to a closing
// quote still belongs to the path). Characters compare as signed, so a byte of
// 0x80 and above also ends an unquoted path and is skipped as a blank.
inline char* SkipProgramPath(char* pszCommandLine)
{
    const signed char chSpace = ' ';
    const signed char chQuote = '"';
    bool fInQuotes = false;
    signed char* psz = reinterpret_cast<signed char*>(pszCommandLine);
    while (*psz > chSpace || (*psz != 0 && fInQuotes))
    {
        if (*psz == chQuote)
        {
            fInQuotes = !fInQuotes;
        }
        ++psz;
    }
    while (*psz != 0 && *psz <= chSpace)
    {
        ++psz;
    }
    return reinterpret_cast<char*>(psz);
}
