// The diagnostic log: path parts, file numbering, line formats, the temp
// directory and what happens when the file cannot be written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>

#include "morix_test_util.h"
#include "qvzvesk/qvzvesk_log.h"

namespace
{

using morix_test::HostPathExists;
using morix_test::Lines;
using morix_test::LogHostPath;
using morix_test::ReadHostFile;

static const char s_szSourcePath[] = "..\\..\\tests\\unit\\log_test.cpp";

const char kHeaderPattern[] = "\r\n\\*\\*\\*\\* [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
                              "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} - Logging Enabled "
                              "\\*\\*\\*\\*\r\n\r\n";

std::string Host(const std::string& sWindowsPath)
{
    return winsim::MapPath(sWindowsPath);
}

void WriteHostFile(const std::string& sHostPath, const std::string& sBytes)
{
    std::ofstream file(sHostPath, std::ios::binary | std::ios::trunc);
    file << sBytes;
}

void MakeHostDirectory(const std::string& sHostPath)
{
    mkdir(sHostPath.c_str(), 0777);
}

void SetAccessTime(const std::string& sHostPath, time_t tAccess)
{
    struct timespec atTimes[2];
    atTimes[0].tv_sec = tAccess;
    atTimes[0].tv_nsec = 0;
    atTimes[1].tv_sec = 0;
    atTimes[1].tv_nsec = UTIME_OMIT;
    ASSERT_EQ(0, utimensat(AT_FDCWD, sHostPath.c_str(), atTimes, 0)) << sHostPath;
}

bool HasHeaderOnly(const std::string& sBytes)
{
    return std::regex_match(sBytes, std::regex(kHeaderPattern));
}

// The lines of a log file after its three header lines.
Lines AfterHeader(const std::string& sHostPath)
{
    std::string sBytes = ReadHostFile(sHostPath);
    std::smatch match;
    if (!std::regex_search(sBytes, match, std::regex(std::string("^") + kHeaderPattern)))
    {
        ADD_FAILURE() << sHostPath << " has no header: " << sBytes.substr(0, 80);
        return Lines();
    }
    return morix_test::SplitLogLines(sBytes.substr(match.length()));
}

class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        winsim::Reset();
        setenv("TEMP", "C:\\TEMP", 1);
        unsetenv("TMP");
    }
    void TearDown() override
    {
        g_LogFile.Close();
        winsim::Reset();
    }
};

TEST(LogPathPartsTest, EachPartOfABackslashPath)
{
    const struct
    {
        const char* pszPath;
        const char* pszFileName;
        const char* pszDirectory;
        const char* pszBaseName;
        const char* pszExtension;
        const char* pszNumber;
        const char* pszBaseWithoutNumber;
    } aCases[] = {
        {"C:\\TEMP\\qvzmorix.log", "qvzmorix.log", "C:\\TEMP\\", "qvzmorix", ".log", "",
         "qvzmorix"},
        {"C:\\TEMP\\qvzmorix07.log", "qvzmorix07.log", "C:\\TEMP\\", "qvzmorix07", ".log", "07",
         "qvzmorix"},
        {"qvzmorix.log", "qvzmorix.log", "", "qvzmorix", ".log", "", "qvzmorix"},
        {"C:\\TEMP\\", "C:\\TEMP\\", "C:\\TEMP\\", "C:\\TEMP\\", "", "", "C:\\TEMP\\"},
        {"a\\b.c\\name", "name", "a\\b.c\\", "name", "", "", "name"},
        {"name.", "name.", "", "name", "", "", "name"},
        {"log12", "log12", "", "log12", "", "12", "log"},
        {"12.log", "12.log", "", "12", ".log", "12", ""},
        {"7.log", "7.log", "", "7", ".log", "", "7"},
        {"x1.log", "x1.log", "", "x1", ".log", "", "x1"},
        {"a.b.log", "a.b.log", "", "a.b", ".log", "", "a.b"},
        {".log", ".log", "", "", ".log", "", ""},
        {"", "", "", "", "", "", ""},
        {"D:\\x\\file9A.txt", "file9A.txt", "D:\\x\\", "file9A", ".txt", "", "file9A"},
        {"123", "123", "", "123", "", "23", "1"},
        {"\\a12.b", "a12.b", "\\", "a12", ".b", "12", "a"},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszPath);
        EXPECT_EQ(c.pszFileName, CLogFile::FileNamePart(c.pszPath));
        EXPECT_EQ(c.pszDirectory, CLogFile::DirectoryPart(c.pszPath));
        EXPECT_EQ(c.pszBaseName, CLogFile::BaseNamePart(c.pszPath));
        EXPECT_EQ(c.pszExtension, CLogFile::ExtensionPart(c.pszPath));
        EXPECT_EQ(c.pszNumber, CLogFile::NumberPart(c.pszPath));
        EXPECT_EQ(c.pszBaseWithoutNumber, CLogFile::BaseNameWithoutNumber(c.pszPath));
    }
}

TEST_F(LogTest, FreshDirectoryGetsNumber00WithTheHeader)
{
    CLogFile log;
    EXPECT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
    EXPECT_TRUE(HasHeaderOnly(ReadHostFile(LogHostPath(0)))) << ReadHostFile(LogHostPath(0));
    EXPECT_FALSE(HostPathExists(LogHostPath(1)));
}

TEST_F(LogTest, FirstGapIsFilled)
{
    MakeHostDirectory(Host("C:\\TEMP"));
    for (int n : {0, 1, 2, 3, 4, 6})
        WriteHostFile(LogHostPath(n), "old");
    CLogFile log;
    EXPECT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
    EXPECT_TRUE(HasHeaderOnly(ReadHostFile(LogHostPath(5))));
    for (int n : {0, 1, 2, 3, 4, 6})
        EXPECT_EQ("old", ReadHostFile(LogHostPath(n))) << n;
}

TEST_F(LogTest, AllHundredPresentReusesTheLeastRecentlyAccessed)
{
    const time_t tBase = 1000000000;
    const struct
    {
        int anEarliest[2];
        int nChosen;
    } aCases[] = {
        {{37, 37}, 37},
        {{20, 10}, 10}, // equal times: the lower number
        {{99, 99}, 99},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.nChosen);
        MakeHostDirectory(Host("C:\\TEMP"));
        for (int n = 0; n < 100; ++n)
        {
            WriteHostFile(LogHostPath(n), "old");
            SetAccessTime(LogHostPath(n), tBase + 1000 + (n % 7));
        }
        SetAccessTime(LogHostPath(c.anEarliest[0]), tBase);
        SetAccessTime(LogHostPath(c.anEarliest[1]), tBase);
        {
            CLogFile log;
            EXPECT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
            EXPECT_TRUE(log.LogMessage(0, "reused"));
        }
        EXPECT_EQ(Lines({"reused"}), AfterHeader(LogHostPath(c.nChosen)));
        for (int n = 0; n < 100; ++n)
        {
            if (n != c.nChosen)
            {
                ASSERT_EQ("old", ReadHostFile(LogHostPath(n))) << n;
            }
        }
    }
}

TEST_F(LogTest, ConfiguredNamesAndTheirNumbers)
{
    MakeHostDirectory(Host("C:\\TEMP"));
    WriteHostFile(Host("C:\\TEMP\\log00.txt"), "old");
    const struct
    {
        const char* pszConfigured;
        const char* pszResolved;
        bool fScan;
    } aCases[] = {
        {"log12.txt", "C:\\TEMP\\log13.txt", false},
        {"log99.txt", "C:\\TEMP\\log00.txt", false}, // wraps, even over an existing file
        {"C:\\elsewhere\\dir\\app.log", "C:\\TEMP\\app00.log", true},
        {"noext", "C:\\TEMP\\noext00", true},
        {"lonedot.", "C:\\TEMP\\lonedot00", true},
        {"12.log", "C:\\TEMP\\13.log", false},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszConfigured);
        // Besides the scan's probes, the only file opened is an existing name
        // checked for being idle before it is deleted.
        int nOpensBefore = winsim::CallCount("CreateFileA") - winsim::CallCount("DeleteFileA");
        {
            CLogFile log;
            EXPECT_TRUE(log.Open(c.pszConfigured, 0, LOG_FLAG_NUMBERED));
        }
        EXPECT_EQ(c.fScan, winsim::CallCount("CreateFileA") - winsim::CallCount("DeleteFileA") >
                               nOpensBefore);
        EXPECT_TRUE(HasHeaderOnly(ReadHostFile(Host(c.pszResolved))));
    }
    // Nothing but a number, or nothing at all, before the extension.
    CLogFile log;
    EXPECT_FALSE(log.Open(".log", 0, LOG_FLAG_NUMBERED));
    EXPECT_FALSE(log.LogMessage(0, "line"));
    EXPECT_FALSE(HostPathExists(Host("C:\\TEMP\\00.log")));
    EXPECT_FALSE(HostPathExists(Host("C:\\TEMP\\lonedot.00")));
    EXPECT_FALSE(HostPathExists(Host("C:\\TEMP\\lonedot00.")));
}

TEST_F(LogTest, ReportAndMessageLines)
{
    ASSERT_TRUE(g_LogFile.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
    EXPECT_TRUE(g_LogFile.LogError(0, "..\\..\\include\\qvzvesk\\qvzvesk_registry.cpp", 42,
                                   "Error --> %s", "lpszCmdLine == 0"));
    EXPECT_TRUE(g_LogFile.LogError(0, "plain.cpp", 7, "Error --> %s", "x"));
    EXPECT_TRUE(g_LogFile.LogMessage(0, "%s = %d, 0x%.8x", "Count", -3, 0xABCu));
    // A condition is an argument, never a format of its own.
    const int nReportLine = __LINE__ + 1;
    EXPECT_TRUE(REPORT_FAILURE("100% of %s and %d"));
    g_LogFile.Close();

    std::string sBytes = ReadHostFile(LogHostPath(0));
    std::smatch match;
    ASSERT_TRUE(std::regex_search(sBytes, match, std::regex(std::string("^") + kHeaderPattern)));
    EXPECT_EQ("[qvzvesk_registry.cpp, Line 42]: Error --> lpszCmdLine == 0\r\n"
              "[plain.cpp, Line 7]: Error --> x\r\n"
              "Count = -3, 0x00000abc\r\n"
              "[log_test.cpp, Line " +
                  std::to_string(nReportLine) + "]: Error --> 100% of %s and %d\r\n",
              sBytes.substr(match.length()));
}

TEST_F(LogTest, LevelsAndNullArguments)
{
    CLogFile log;
    ASSERT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
    EXPECT_FALSE(log.LogMessage(1, "level one"));
    EXPECT_FALSE(log.LogError(1, "a.cpp", 1, "level one"));
    EXPECT_FALSE(log.LogMessage(0xFFFFFFFF, "huge level"));
    EXPECT_FALSE(log.LogMessage(0, nullptr));
    EXPECT_FALSE(log.LogError(0, nullptr, 1, "no source"));
    EXPECT_FALSE(log.LogError(0, "a.cpp", 1, nullptr));
    EXPECT_TRUE(log.LogMessage(0, "level zero"));
    log.Close();
    EXPECT_EQ(Lines({"level zero"}), AfterHeader(LogHostPath(0)));

    ASSERT_TRUE(log.Open("qvzmorix.log", 1, LOG_FLAG_NUMBERED));
    EXPECT_TRUE(log.LogMessage(1, "level one"));
    EXPECT_FALSE(log.LogMessage(2, "level two"));
    log.Close();
    EXPECT_EQ(Lines({"level one"}), AfterHeader(LogHostPath(1)));
}

TEST_F(LogTest, NothingBeforeOpenNorAfterClose)
{
    CLogFile log;
    EXPECT_FALSE(log.LogMessage(0, "too early"));
    EXPECT_FALSE(log.LogError(0, "a.cpp", 1, "Error --> %s", "too early"));
    EXPECT_FALSE(HostPathExists(Host("C:\\TEMP"))) << "nothing resolved before Open";
    EXPECT_FALSE(log.Open("", 0, LOG_FLAG_NUMBERED));
    EXPECT_FALSE(log.LogMessage(0, "still disabled"));

    ASSERT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
    EXPECT_TRUE(log.LogMessage(0, "inside"));
    log.Close();
    EXPECT_FALSE(log.LogMessage(0, "too late"));
    EXPECT_FALSE(log.LogError(0, "a.cpp", 1, "Error --> %s", "too late"));
    EXPECT_EQ(Lines({"inside"}), AfterHeader(LogHostPath(0)));
    EXPECT_FALSE(HostPathExists(LogHostPath(1)));
}

TEST_F(LogTest, EmptyExpansionWritesNothingAndLongOneIsWhole)
{
    CLogFile log;
    ASSERT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
    EXPECT_FALSE(log.LogMessage(0, "%s", ""));
    const std::string sLong = std::string(100000, 'x') + "end";
    EXPECT_TRUE(log.LogMessage(0, "%s", sLong.c_str()));
    EXPECT_TRUE(log.LogMessage(0, "after"));
    log.Close();
    EXPECT_EQ(Lines({sLong, "after"}), AfterHeader(LogHostPath(0)));
}

TEST_F(LogTest, UnavailableNullDeviceEmptiesTheExpansion)
{
    CLogFile log;
    ASSERT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
    winsim::FailCall("fopen", 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(log.LogMessage(0, "lost %d", 1));
    // The line number is formatted before the text; only the text is lost.
    winsim::FailCall("fopen", 2, ERROR_ACCESS_DENIED);
    log.LogError(0, "..\\m.cpp", 42, "Error --> %s", "lost");
    EXPECT_TRUE(log.LogMessage(0, "back %d", 2));
    log.Close();
    EXPECT_EQ(Lines({"[m.cpp, Line N]: ", "back 2"}), AfterHeader(LogHostPath(0)));
}

TEST_F(LogTest, TempDirectoryChoice)
{
    const struct
    {
        const char* pszName;
        const char* pszTemp; // null: unset
        const char* pszTmp;  // null: unset
        const char* pszMakeFirst;
        const char* pszLogFile; // null: logging stays off
        const char* pszTmpAfter;
        const char* pszMustNotExist;
    } aCases[] = {
        {"TEMP created below an existing parent", "C:\\TEMP\\sub", nullptr, "C:\\TEMP",
         "C:\\TEMP\\sub\\qvzmorix00.log", "C:\\TEMP\\sub", nullptr},
        {"TEMP whose parent is missing", "C:\\missing\\sub", nullptr, nullptr, nullptr, nullptr,
         "C:\\missing"},
        {"both unset: TEMP at the Windows drive root", nullptr, nullptr, nullptr,
         "C:\\TEMP\\qvzmorix00.log", "C:\\TEMP", nullptr},
        {"TMP empty stays empty", nullptr, "", nullptr, "C:\\TEMP\\qvzmorix00.log", "", nullptr},
        {"TEMP without trailing backslash", "C:\\TEMP", nullptr, nullptr,
         "C:\\TEMP\\qvzmorix00.log", "C:\\TEMP", "C:\\TEMPqvzmorix00.log"},
        {"TMP when TEMP is unset", nullptr, "C:\\TMPX", nullptr, "C:\\TMPX\\qvzmorix00.log",
         "C:\\TMPX", "C:\\TEMP"},
        {"TEMP before TMP", "C:\\T1", "C:\\T2", nullptr, "C:\\T1\\qvzmorix00.log", "C:\\T2",
         "C:\\T2"},
        {"empty TEMP falls back to TMP", "", "C:\\T2", nullptr, "C:\\T2\\qvzmorix00.log", "C:\\T2",
         "C:\\TEMP"},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        winsim::Reset();
        c.pszTemp ? setenv("TEMP", c.pszTemp, 1) : unsetenv("TEMP");
        c.pszTmp ? setenv("TMP", c.pszTmp, 1) : unsetenv("TMP");
        if (c.pszMakeFirst)
            MakeHostDirectory(Host(c.pszMakeFirst));
        CLogFile log;
        bool fOpened = log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED);
        bool fWritten = log.LogMessage(0, "line");
        log.Close();
        EXPECT_EQ(c.pszLogFile != nullptr, fOpened);
        EXPECT_EQ(c.pszLogFile != nullptr, fWritten);
        if (c.pszLogFile)
        {
            EXPECT_EQ(Lines({"line"}), AfterHeader(Host(c.pszLogFile)));
        }
        const char* pszTmpNow = getenv("TMP");
        EXPECT_EQ(std::string(c.pszTmpAfter ? c.pszTmpAfter : "(unset)"),
                  std::string(pszTmpNow ? pszTmpNow : "(unset)"));
        if (c.pszMustNotExist)
        {
            EXPECT_FALSE(HostPathExists(Host(c.pszMustNotExist)));
        }
    }
}

TEST_F(LogTest, FailedDirectoryStepsLeaveLoggingOff)
{
    const struct
    {
        const char* pszFunction;
        const char* pszTemp;
    } aCases[] = {
        {"GetWindowsDirectoryA", nullptr},
        {"CreateDirectoryA", "C:\\TEMP"},
        {"SetEnvironmentVariableA", "C:\\TEMP"},
        {"FindFirstFileA", "C:\\TEMP"}, // created, but the second test still fails
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszFunction);
        winsim::Reset();
        c.pszTemp ? setenv("TEMP", c.pszTemp, 1) : unsetenv("TEMP");
        unsetenv("TMP");
        if (std::string(c.pszFunction) == "FindFirstFileA")
            winsim::FailCall(c.pszFunction, 2, ERROR_ACCESS_DENIED);
        else
            winsim::FailCall(c.pszFunction, 1, ERROR_ACCESS_DENIED);
        CLogFile log;
        EXPECT_FALSE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
        EXPECT_FALSE(log.LogMessage(0, "line"));
        EXPECT_FALSE(HostPathExists(LogHostPath(0)));
    }
}

TEST_F(LogTest, NameThatCannotBeHadAfreshGivesWayToTheNextNumber)
{
    for (bool fDirectoryInTheWay : {false, true})
    {
        SCOPED_TRACE(fDirectoryInTheWay ? "directory in the way" : "file in use");
        winsim::Reset();
        ASSERT_TRUE(CreateDirectoryA("C:\\TEMP", nullptr));
        HANDLE hHeld = INVALID_HANDLE_VALUE;
        if (fDirectoryInTheWay)
            MakeHostDirectory(LogHostPath(0));
        else
        {
            // Held without sharing: the probe takes the number, but the name
            // can be neither created nor deleted.
            hHeld = CreateFileA("C:\\TEMP\\qvzmorix00.log", GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
        }
        CLogFile log;
        EXPECT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
        EXPECT_TRUE(log.LogMessage(0, "first"));
        log.Close();
        if (hHeld != INVALID_HANDLE_VALUE)
        {
            CloseHandle(hHeld);
            EXPECT_EQ("", ReadHostFile(LogHostPath(0)));
        }
        EXPECT_EQ(Lines({"first"}), AfterHeader(LogHostPath(1)));
        EXPECT_FALSE(HostPathExists(LogHostPath(2)));
    }

    // A log still being written by another run is never taken away, even
    // where the system would delete a file in use.
    winsim::Reset();
    std::string sError;
    ASSERT_TRUE(winsim::ImportReg("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine]\n"
                                  "\"Version\"=\"win98\"\n",
                                  &sError))
        << sError;
    MakeHostDirectory(Host("C:\\TEMP"));
    {
        CLogFile other;
        ASSERT_TRUE(other.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
        CLogFile log;
        EXPECT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
        EXPECT_TRUE(other.LogMessage(0, "other run"));
        EXPECT_TRUE(log.LogMessage(0, "this run"));
    }
    EXPECT_EQ(Lines({"other run"}), AfterHeader(LogHostPath(0)));
    EXPECT_EQ(Lines({"this run"}), AfterHeader(LogHostPath(1)));

    // No name at all can be created: logging is on, each line tries again
    // from the next number, and a name that frees up takes the lines from then on.
    winsim::Reset();
    MakeHostDirectory(Host("C:\\TEMP"));
    for (int n = 0; n < 100; ++n)
        MakeHostDirectory(LogHostPath(n));
    CLogFile log;
    EXPECT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
    EXPECT_TRUE(log.LogMessage(0, "lost"));
    rmdir(LogHostPath(7).c_str());
    EXPECT_TRUE(log.LogMessage(0, "kept"));
    EXPECT_TRUE(log.LogMessage(0, "and kept"));
    log.Close();
    EXPECT_EQ("kept\r\nand kept\r\n", ReadHostFile(LogHostPath(7)));
    EXPECT_EQ(0, winsim::OpenFileCount());
}

// The temp directory may be shared with other users: a name planted there,
// as a hard link to a file the run may write, must never receive the log.
TEST_F(LogTest, PlantedNamesNeverReceiveTheLog)
{
    std::string sVictim;
    auto plant = [&](int nNumber)
    {
        unlink(LogHostPath(nNumber).c_str());
        ASSERT_EQ(0, link(sVictim.c_str(), LogHostPath(nNumber).c_str())) << nNumber;
    };
    enum Case
    {
        ReusedName,   // all hundred exist; the oldest is the link
        PlantedLate,  // planted under the free name between the scan and the creation
        PlantedAgain, // the reused name planted again right after it was deleted
    };
    for (Case eCase : {ReusedName, PlantedLate, PlantedAgain})
    {
        SCOPED_TRACE(eCase);
        winsim::Reset();
        MakeHostDirectory(Host("C:\\TEMP"));
        MakeHostDirectory(Host("C:\\WINDOWS"));
        sVictim = Host("C:\\WINDOWS\\victim.ini");
        WriteHostFile(sVictim, "[system]\r\nkeep=1\r\n");
        if (eCase != PlantedLate)
        {
            for (int n = 0; n < 100; ++n)
            {
                WriteHostFile(LogHostPath(n), "old");
                SetAccessTime(LogHostPath(n), 1000000000 + n);
            }
            plant(0);
            SetAccessTime(LogHostPath(0), 999999999);
        }
        // A name made since the scan is not an old log (it may be the log of a
        // run that started at the same moment and has finished already): it
        // is left alone and the next number taken (here an old log, replaced).
        if (eCase != ReusedName)
            winsim::OnCall("_open", eCase == PlantedLate ? 1 : 2, [&] { plant(0); });
        const int nExpected = eCase == ReusedName ? 0 : 1;
        {
            CLogFile log;
            EXPECT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
            EXPECT_TRUE(log.LogMessage(0, "line"));
        }
        EXPECT_EQ("[system]\r\nkeep=1\r\n", ReadHostFile(sVictim));
        EXPECT_EQ(Lines({"line"}), AfterHeader(LogHostPath(nExpected)));
        struct stat st;
        ASSERT_EQ(0, stat(LogHostPath(nExpected).c_str(), &st));
        EXPECT_EQ(1u, st.st_nlink) << "the log is a file of its own";
        if (eCase != ReusedName)
        {
            EXPECT_EQ("[system]\r\nkeep=1\r\n", ReadHostFile(LogHostPath(0)));
        }
        winsim::ClearFaults();
    }
}

TEST_F(LogTest, OptionBits)
{
    const std::string sStamp = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                               "[0-9]{4}";
    CLogFile log;
    ASSERT_TRUE(log.Open("stamped.log", 0,
                         LOG_FLAG_NUMBERED | LOG_FLAG_TIMESTAMP | LOG_FLAG_FULL_SOURCE_PATH));
    EXPECT_TRUE(log.LogMessage(0, "%s", ""));
    EXPECT_TRUE(log.LogMessage(0, "text"));
    EXPECT_TRUE(log.LogError(0, "..\\src\\m.cpp", 5, "Error --> %s", "x"));
    log.Close();
    EXPECT_TRUE(std::regex_match(ReadHostFile(Host("C:\\TEMP\\stamped00.log")),
                                 std::regex(kHeaderPattern + ("\\[" + sStamp + "\\]: \r\n\\[" +
                                                              sStamp + "\\]: text\r\n\\[" + sStamp +
                                                              ", \\.\\.\\\\src\\\\m\\.cpp, Line "
                                                              "5\\]: Error --> x\r\n"))))
        << ReadHostFile(Host("C:\\TEMP\\stamped00.log"));

    // A fixed name outside the temp directory: truncated, or appended to.
    MakeHostDirectory(Host("C:\\LOGS"));
    for (DWORD dwFlags : {0, 0, int(LOG_FLAG_APPEND), int(LOG_FLAG_APPEND)})
    {
        ASSERT_TRUE(log.Open("C:\\LOGS\\fixed.log", 0, LOG_FLAG_NO_TEMP_DIR | dwFlags));
        EXPECT_TRUE(log.LogMessage(0, "run"));
    }
    ASSERT_TRUE(log.Open("C:\\LOGS\\numbered.log", 0, LOG_FLAG_NO_TEMP_DIR | LOG_FLAG_NUMBERED));
    log.Close();
    Lines vsLines = morix_test::SplitLogLines(ReadHostFile(Host("C:\\LOGS\\fixed.log")));
    ASSERT_EQ(12u, vsLines.size());
    for (size_t i : {3u, 7u, 11u})
        EXPECT_EQ("run", vsLines[i]);
    EXPECT_TRUE(HasHeaderOnly(ReadHostFile(Host("C:\\LOGS\\numbered00.log"))));
    EXPECT_FALSE(HostPathExists(Host("C:\\TEMP\\fixed.log")));
}

TEST_F(LogTest, OpenAgainStartsANewNumberedFile)
{
    CLogFile log;
    ASSERT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
    EXPECT_TRUE(log.LogMessage(0, "one"));
    ASSERT_TRUE(log.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
    EXPECT_TRUE(log.LogMessage(0, "two"));
    log.Close();
    EXPECT_EQ(Lines({"one"}), AfterHeader(LogHostPath(0)));
    EXPECT_EQ(Lines({"two"}), AfterHeader(LogHostPath(1)));
}

} // namespace
