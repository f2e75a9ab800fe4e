#include "morix_test_util.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>

#include "qvzvesk/qvzvesk_log.h"

namespace morix_test
{

const char kMain[] = "morix_main.cpp";
const char kInstall[] = "morix_install.cpp";
const char kUninstall[] = "morix_uninstall.cpp";
const char kRegistry[] = "qvzvesk_registry.cpp";
const char kUtils[] = "qvzvesk_utils.cpp";

std::string Report(const std::string& sModule, const std::string& sCondition)
{
    return "[" + sModule + ", Line N]: Error --> " + sCondition;
}

std::string ReadHostFile(const std::string& sHostPath)
{
    std::ifstream file(sHostPath, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool HostPathExists(const std::string& sHostPath)
{
    struct stat st;
    return stat(sHostPath.c_str(), &st) == 0;
}

std::string LogHostPath(int nNumber)
{
    char szName[64];
    snprintf(szName, sizeof szName, "C:\\TEMP\\qvzmorix%02d.log", nNumber);
    return winsim::MapPath(szName);
}

Lines SplitLogLines(const std::string& sBytes)
{
    static const std::regex reLineNumber(", Line [0-9]+\\]: ");
    Lines vsLines;
    size_t iStart = 0;
    while (iStart < sBytes.size())
    {
        size_t iEnd = sBytes.find('\n', iStart);
        if (iEnd == std::string::npos)
        {
            ADD_FAILURE() << "last line without its line end: " << sBytes.substr(iStart);
            iEnd = sBytes.size();
        }
        else if (iEnd == iStart || sBytes[iEnd - 1] != '\r')
        {
            ADD_FAILURE() << "line without CR before LF at byte " << iEnd;
        }
        size_t iTextEnd = (iEnd > iStart && sBytes[iEnd - 1] == '\r') ? iEnd - 1 : iEnd;
        vsLines.push_back(std::regex_replace(sBytes.substr(iStart, iTextEnd - iStart), reLineNumber,
                                             ", Line N]: "));
        iStart = iEnd + 1;
    }
    return vsLines;
}

void MorixTest::SetUp()
{
    winsim::Reset();
    setenv("TEMP", "C:\\TEMP", 1);
    unsetenv("TMP");
    ASSERT_TRUE(g_LogFile.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED));
}

void MorixTest::TearDown()
{
    g_LogFile.Close();
    winsim::Reset();
}

void MorixTest::Import(const std::string& sText)
{
    std::string sError;
    ASSERT_TRUE(winsim::ImportReg("REGEDIT4\n\n" + sText + "\n", &sError)) << sError;
}

void MorixTest::SetVersion(const std::string& sVersion)
{
    Import("[HKEY_CURRENT_USER\\Software\\Wine]\n\"Version\"=\"" + sVersion + "\"");
}

Lines MorixTest::LogLines()
{
    for (int nNumber = 99; nNumber >= 0; --nNumber)
    {
        std::string sPath = LogHostPath(nNumber);
        if (!HostPathExists(sPath))
            continue;
        Lines vsLines = SplitLogLines(ReadHostFile(sPath));
        static const std::regex reHeader("\\*\\*\\*\\* .+ - Logging Enabled \\*\\*\\*\\*");
        if (vsLines.size() < 3 || !vsLines[0].empty() || !std::regex_match(vsLines[1], reHeader) ||
            !vsLines[2].empty())
        {
            ADD_FAILURE() << sPath << " does not begin with the header";
            return vsLines;
        }
        return Lines(vsLines.begin() + 3, vsLines.end());
    }
    ADD_FAILURE() << "no log file in C:\\TEMP";
    return Lines();
}

bool MorixTest::GetString(const std::string& sKey, const std::string& sName, std::string* psText)
{
    DWORD dwType = 0;
    std::string sBytes;
    if (!winsim::GetValue(sKey, sName, &dwType, &sBytes))
        return false;
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), dwType) << sKey << " " << sName;
    EXPECT_FALSE(sBytes.empty());
    if (!sBytes.empty() && sBytes.back() == '\0')
        sBytes.pop_back();
    *psText = sBytes;
    return true;
}

bool MorixTest::GetDword(const std::string& sKey, const std::string& sName, DWORD* pdwValue)
{
    DWORD dwType = 0;
    std::string sBytes;
    if (!winsim::GetValue(sKey, sName, &dwType, &sBytes))
        return false;
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), dwType) << sKey << " " << sName;
    EXPECT_EQ(4u, sBytes.size());
    DWORD dwValue = 0;
    memcpy(&dwValue, sBytes.data(), sBytes.size() < 4 ? sBytes.size() : 4);
    *pdwValue = dwValue;
    return true;
}

} // namespace morix_test
