// The string of all program data: 8-bit text whose comparisons and searches
// ignore the case of the letters a to z.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>

// Standard char traits except for comparison: characters are compared after
// toupper in the "C" locale, as signed 8-bit values, so bytes 0x80-0xFF order
// before ASCII and only a-z fold.
struct CiCharTraits : public std::char_traits<char>
{
    static bool eq(char a, char b) { return Upper(a) == Upper(b); }

    static bool lt(char a, char b) { return Upper(a) < Upper(b); }

    static int compare(const char* s1, const char* s2, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i)
        {
            signed char c1 = Upper(s1[i]);
            signed char c2 = Upper(s2[i]);
            if (c1 != c2)
            {
                return c1 < c2 ? -1 : 1;
            }
        }
        return 0;
    }

    static const char* find(const char* s, std::size_t n, char c)
    {
        for (std::size_t i = 0; i < n; ++i)
        {
            if (eq(s[i], c))
            {
                return s + i;
            }
        }
        return nullptr;
    }

private:
    static signed char Upper(char c)
    {
        return static_cast<signed char>(toupper(static_cast<unsigned char>(c)));
    }
};

typedef std::basic_string<char, CiCharTraits> CQvCiString;
