// System queries: the Windows version classes, file existence and the system
// directory.
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "morix_test_util.h"
#include "qvzvesk/qvzvesk_utils.h"

namespace
{

using morix_test::kUtils;
using morix_test::Lines;
using morix_test::MorixTest;
using morix_test::Report;

class SystemQueryTest : public MorixTest
{
};

TEST_F(SystemQueryTest, VersionClasses)
{
    const char kPlatformReport[] = "(tOsVersion.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS) && "
                                   "(tOsVersion.dwPlatformId != VER_PLATFORM_WIN32_NT)";
    const struct
    {
        const char* pszVersion;
        OsVersionType eExpected;
        const char* pszReport;
    } aCases[] = {
        {"win95", OsVersionType_Win95, nullptr},
        {"win98", OsVersionType_Win98, nullptr},
        {"winme", OsVersionType_WinME, nullptr},
        {"nt40", OsVersionType_WinNT4, nullptr},
        {"win2k", OsVersionType_Win2K, nullptr},
        {"winxp", OsVersionType_WinXP, nullptr},
        {"win2003", OsVersionType_WinXP, nullptr},
        {"vista", OsVersionType_Win2K, nullptr},
        {"win7", OsVersionType_WinXP, nullptr},
        {"win31", OsVersionType_Unknown, kPlatformReport},
        {"nt351", OsVersionType_Unknown, "tOsVersion.dwMajorVersion < 4"},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszVersion);
        SetVersion(c.pszVersion);
        size_t nBefore = LogLines().size();
        EXPECT_EQ(c.eExpected, GetOsVersion());
        Lines vsLines = LogLines();
        EXPECT_EQ(c.pszReport ? Lines({Report(kUtils, c.pszReport)}) : Lines(),
                  Lines(vsLines.begin() + static_cast<long>(nBefore), vsLines.end()));
    }
    // The fixed values the callers depend on.
    EXPECT_EQ(0, OsVersionType_Win95);
    EXPECT_EQ(2, OsVersionType_WinME);
    EXPECT_EQ(5, OsVersionType_WinXP);
    EXPECT_EQ(6, OsVersionType_Unknown);
}

TEST_F(SystemQueryTest, VersionQueryFailureAndNoCaching)
{
    SetVersion("win98");
    winsim::FailCall("GetVersionExA", 1, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OsVersionType_Unknown, GetOsVersion());
    EXPECT_EQ(OsVersionType_Win98, GetOsVersion());
    SetVersion("win2k");
    EXPECT_EQ(OsVersionType_Win2K, GetOsVersion());
    EXPECT_EQ(Lines({Report(kUtils, "GetVersionEx( &tOsVersion ) == 0")}), LogLines());
}

TEST_F(SystemQueryTest, FileExists)
{
    const std::string sWindows = winsim::MapPath("C:\\WINDOWS");
    std::ofstream(winsim::MapPath("C:\\WINDOWS\\SYSTEM32") + "/qvzcon14.dll") << "x";
    mkdir((sWindows + "/Empty").c_str(), 0777);
    const struct
    {
        const char* pszPath;
        bool fExists;
    } aCases[] = {
        {"C:\\WINDOWS\\", true},
        {"C:\\WINDOWS", true},
        {"c:\\windows\\system32\\", true},
        {"C:\\WINDOWS\\SYSTEM32\\qvzcon14.dll", true},
        {"C:\\WINDOWS\\SYSTEM32\\QVZCON14.DLL", true},
        {"C:\\WINDOWS\\SYSTEM32\\qvzcon14.dll\\", false},
        {"C:\\WINDOWS\\Empty\\", true},
        {"C:\\NOPE\\", false},
        {"C:\\NOPE", false},
        {"C:\\WINDOWS\\SYSTEM32\\*.dll", true},
        {"C:\\WINDOWS\\SYSTEM32\\qvz???14.*", true},
        {"C:\\WINDOWS\\SYSTEM32\\*.exe", false},
        {"", false},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszPath);
        const CQvCiString sPath = c.pszPath;
        EXPECT_EQ(c.fExists, FileExists(sPath));
        EXPECT_EQ(std::string(c.pszPath), sPath.c_str());
    }
    winsim::FailCall("FindFirstFileA", 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(FileExists("C:\\WINDOWS"));
    EXPECT_EQ(Lines(), LogLines());
}

TEST_F(SystemQueryTest, SystemPath)
{
    CQvCiString sPath = "untouched";
    EXPECT_TRUE(GetSystemPath(&sPath));
    EXPECT_EQ(std::string("C:\\WINDOWS\\SYSTEM32\\"), sPath.c_str());

    sPath = "untouched";
    winsim::FailCall("GetSystemDirectoryA", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(GetSystemPath(&sPath));
    EXPECT_EQ(std::string("untouched"), sPath.c_str());
    EXPECT_FALSE(GetSystemPath(nullptr));
    EXPECT_EQ(Lines({Report(kUtils, "GetSystemDirectory( szBuffer, _MAX_PATH ) == 0"),
                     Report(kUtils, "psSystemPath == 0")}),
              LogLines());
}

} // namespace
