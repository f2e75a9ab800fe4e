// The case-insensitive string: only a-z fold, bytes compare as signed values,
// and the searches the command-line parser and the registry code rely on.
#include <gtest/gtest.h>

#include <string>

#include "qvzvesk/qvzvesk_string.h"

namespace
{

int Sign(int n)
{
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

struct CompareCase
{
    const char* pszLeft;
    const char* pszRight;
    int nExpected;
};

TEST(CiStringTest, CompareFoldsOnlyLettersAndOrdersHighBytesFirst)
{
    const CompareCase aCases[] = {
        {"printerdriver", "PRINTERDRIVER", 0},
        {"printerdriver", "PrinterDriver", 0},
        {"true", "TrUe", 0},
        {"abc", "ABC", 0},
        {"abc", "ABCD", -1},
        {"ABCD", "abc", 1},
        {"", "", 0},
        {"", "a", -1},
        // Brackets and at/grave are not case pairs.
        {"[", "{", -1},
        {"{", "[", 1},
        {"@", "`", -1},
        // Letters compare as capitals: 'a' is 'A' (0x41), which is below '['
        // and '_', although 'a' itself is above both.
        {"a", "[", -1},
        {"_", "a", 1},
        // Accented capital and small letter stay different.
        {"\xC9", "\xE9", -1},
        {"\xE9", "\xE9", 0},
        // Bytes 0x80-0xFF are negative and order before every ASCII byte.
        {"\x80", "\x01", -1},
        {"\xE9", "z", -1},
        {"Z", "\xFF", 1},
    };
    for (const CompareCase& c : aCases)
    {
        CQvCiString sLeft = c.pszLeft;
        EXPECT_EQ(c.nExpected, Sign(sLeft.compare(c.pszRight)))
            << "\"" << c.pszLeft << "\" vs \"" << c.pszRight << "\"";
        EXPECT_EQ(c.nExpected, Sign(sLeft.compare(CQvCiString(c.pszRight))));
        EXPECT_EQ(c.nExpected == 0, sLeft == CQvCiString(c.pszRight));
    }
}

TEST(CiStringTest, TraitsCompareCharactersAfterToUpper)
{
    EXPECT_TRUE(CiCharTraits::eq('q', 'Q'));
    EXPECT_FALSE(CiCharTraits::eq('[', '{'));
    EXPECT_FALSE(CiCharTraits::eq('@', '`'));
    EXPECT_FALSE(CiCharTraits::eq('\xC4', '\xE4'));
    EXPECT_TRUE(CiCharTraits::lt('\x80', '\x01'));
    EXPECT_TRUE(CiCharTraits::lt('a', '['));
    EXPECT_FALSE(CiCharTraits::lt('A', 'a'));
    const char szText[] = "xyZw";
    EXPECT_EQ(szText + 2, CiCharTraits::find(szText, 4, 'z'));
    EXPECT_EQ(nullptr, CiCharTraits::find(szText, 2, 'z'));
    EXPECT_EQ(0, CiCharTraits::compare("ABC", "abd", 2));
    EXPECT_EQ(-1, CiCharTraits::compare("ABC", "abd", 3));
}

TEST(CiStringTest, FindAndRfindIgnoreCase)
{
    const CQvCiString sCmdLine = "-PRINTERDRIVER=Model 12 -port=X";
    EXPECT_EQ(1u, sCmdLine.find("printerdriver="));
    EXPECT_EQ(25u, sCmdLine.find("PORT="));
    EXPECT_EQ(CQvCiString::npos, sCmdLine.find("product="));
    EXPECT_EQ(CQvCiString::npos, sCmdLine.find("printerdriver=", 2));
    EXPECT_EQ(15u, sCmdLine.find('m'));
    EXPECT_EQ(CQvCiString::npos, CQvCiString("\xC9t\xC9").find('\xE9'));

    // An empty substring is found at the start unless the start is past the end.
    const CQvCiString sAbc = "abc";
    EXPECT_EQ(0u, sAbc.find(""));
    EXPECT_EQ(3u, sAbc.find("", 3));
    EXPECT_EQ(CQvCiString::npos, sAbc.find("", 4));
    EXPECT_EQ(CQvCiString::npos, sAbc.find("abcd"));

    EXPECT_EQ(CQvCiString::npos, CQvCiString("ENUM").rfind('\\'));
    EXPECT_EQ(8u, CQvCiString("ENUM\\USB\\X").rfind('\\'));
    EXPECT_EQ(3u, CQvCiString("axbX").rfind('x'));
    EXPECT_EQ(4u, CQvCiString("a-b -c=1").rfind('-'));
    EXPECT_EQ(CQvCiString::npos, CQvCiString().rfind('-'));
}

TEST(CiStringTest, FindNotOfEdges)
{
    EXPECT_EQ(CQvCiString::npos, CQvCiString().find_last_not_of(' '));
    EXPECT_EQ(CQvCiString::npos, CQvCiString("   ").find_last_not_of(' '));
    EXPECT_EQ(1u, CQvCiString("ab  ").find_last_not_of(' '));
    EXPECT_EQ(1u, CQvCiString("aBc").find_last_not_of("xC")) << "the set matches ignoring case";

    EXPECT_EQ(CQvCiString::npos, CQvCiString("ab").find_first_not_of(' ', 2));
    EXPECT_EQ(CQvCiString::npos, CQvCiString("ab").find_first_not_of(' ', 7));
    EXPECT_EQ(CQvCiString::npos, CQvCiString("   ").find_first_not_of(' ', 0));
    EXPECT_EQ(3u, CQvCiString("   x").find_first_not_of(' ', 1));
    EXPECT_EQ(2u, CQvCiString("ABc").find_first_not_of("ab"));
}

TEST(CiStringTest, EraseAfterLastNonBlankWrapsNposToZero)
{
    const struct
    {
        const char* pszIn;
        const char* pszOut;
    } aCases[] = {
        {"   ", ""}, {"", ""}, {"a b  ", "a b"}, {"ab", "ab"}, {" x ", " x"},
    };
    for (const auto& c : aCases)
    {
        CQvCiString s = c.pszIn;
        s.erase(s.find_last_not_of(' ') + 1);
        EXPECT_EQ(std::string(c.pszOut), std::string(s.c_str())) << "\"" << c.pszIn << "\"";
    }
}

TEST(CiStringTest, ValueSemanticsAndByteExactCopies)
{
    CQvCiString sOriginal = "Model 12";
    CQvCiString sCopy = sOriginal;
    sCopy += "\\X";
    EXPECT_EQ(std::string("Model 12"), sOriginal.c_str());
    EXPECT_EQ(std::string("Model 12\\X"), sCopy.c_str());
    EXPECT_EQ(std::string("odel"), sOriginal.substr(1, 4).c_str());
    EXPECT_EQ(std::string("12"), sOriginal.substr(6, CQvCiString::npos).c_str());
    // Copies keep the spelling; only comparisons ignore it.
    CQvCiString sUpper("ABC\0def", 7);
    EXPECT_EQ(7u, sUpper.length());
    EXPECT_EQ('d', sUpper[4]);
}

} // namespace
