// Shared by the libFuzzer targets: a failed invariant stops the run with a
// message, which libFuzzer records as a finding together with the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(fCondition, sWhat)                                                              \
    do                                                                                             \
    {                                                                                              \
        if (!(fCondition))                                                                         \
        {                                                                                          \
            fprintf(stderr, "invariant broken: %s: %s\n", #fCondition,                             \
                    std::string(sWhat).c_str());                                                   \
            abort();                                                                               \
        }                                                                                          \
    } while (false)

namespace morix_fuzz
{

inline char FoldCase(char ch)
{
    return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
}

inline bool EqualNoCase(const std::string& sLeft, const std::string& sRight)
{
    if (sLeft.size() != sRight.size())
        return false;
    for (size_t i = 0; i < sLeft.size(); ++i)
        if (FoldCase(sLeft[i]) != FoldCase(sRight[i]))
            return false;
    return true;
}

// Position of the first occurrence of sNeedle in sText, letters a to z
// compared without regard to case; npos when there is none.
inline std::string::size_type FindNoCase(const std::string& sText, const std::string& sNeedle)
{
    if (sNeedle.size() > sText.size())
        return std::string::npos;
    for (size_t i = 0; i + sNeedle.size() <= sText.size(); ++i)
    {
        size_t j = 0;
        while (j < sNeedle.size() && FoldCase(sText[i + j]) == FoldCase(sNeedle[j]))
            ++j;
        if (j == sNeedle.size())
            return i;
    }
    return std::string::npos;
}

} // namespace morix_fuzz
