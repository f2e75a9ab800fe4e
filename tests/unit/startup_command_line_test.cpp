// The command line WinMain gets from the Windows start-up, as MinGW's start-up
// gave it before (the same cases were compared under Wine against the program
// built with MinGW's start-up).
#include <gtest/gtest.h>

#include <string>

#include "morix_command_line.h"

namespace
{

std::string Tail(std::string sCommandLine)
{
    return SkipProgramPath(&sCommandLine[0]);
}

} // namespace

TEST(StartupCommandLine, PathAndBlanksRemoved)
{
    EXPECT_EQ(Tail("C:\\WINDOWS\\qvzmrx14.exe -uninstall=Model 12"), "-uninstall=Model 12");
    EXPECT_EQ(Tail("\"C:\\Program Files\\qvzmrx14.exe\"   -uninstall=Model 12"),
              "-uninstall=Model 12");
    // Tabs and other control characters count as blanks; the tail keeps its own.
    EXPECT_EQ(Tail("qvzmrx14.exe\t\t-uninstall=B \t"), "-uninstall=B \t");
    EXPECT_EQ(Tail("qvzmrx14.exe \"-uninstall=Model 12\""), "\"-uninstall=Model 12\"");
}

TEST(StartupCommandLine, NothingAfterThePath)
{
    EXPECT_EQ(Tail("qvzmrx14.exe"), "");
    EXPECT_EQ(Tail("qvzmrx14.exe   "), "");
    EXPECT_EQ(Tail("\"C:\\A B\\qvzmrx14.exe\""), "");
    EXPECT_EQ(Tail(""), "");
}

TEST(StartupCommandLine, QuotesOnlyToggle)
{
    // Text glued to the closing quote is still part of the path.
    EXPECT_EQ(Tail("\"C:\\A B\\qvzmrx14.exe\"-uninstall=A"), "");
    EXPECT_EQ(Tail("C:\\\"A B\"\\qvzmrx14.exe -uninstall=A"), "-uninstall=A");
    // An unclosed quote takes the rest of the line.
    EXPECT_EQ(Tail("\"C:\\A B\\qvzmrx14.exe -uninstall=A"), "");
}

TEST(StartupCommandLine, HighBytesCompareAsSigned)
{
    // A byte of 0x80 and above ends an unquoted path and is skipped as a blank;
    // inside quotes it is part of the path.
    EXPECT_EQ(Tail("C:\\Caf\xe9\\qvzmrx14.exe -x=1"), "\\qvzmrx14.exe -x=1");
    EXPECT_EQ(Tail("\"C:\\Caf\xe9\\qvzmrx14.exe\" -x=1"), "-x=1");
}
