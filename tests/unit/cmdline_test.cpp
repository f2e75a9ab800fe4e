// Command-line parameters: how a value is cut out of the line, the registry
// fallback of GetParameter and the reports each path leaves.
#include <string>

#include "morix_test_util.h"
#include "qvzvesk/qvzvesk_utils.h"

namespace
{

using morix_test::kRegistry;
using morix_test::kUtils;
using morix_test::Lines;
using morix_test::MorixTest;
using morix_test::Report;

const char kSentinel[] = "untouched";

class CmdLineTest : public MorixTest
{
protected:
    Lines NewLines(size_t nBefore)
    {
        Lines vsLines = LogLines();
        return Lines(vsLines.begin() + static_cast<long>(nBefore), vsLines.end());
    }
};

TEST_F(CmdLineTest, FindCmdLineVarCases)
{
    const struct
    {
        const char* pszCmdLine;
        const char* pszKey;
        const char* pszValue;  // null: not found
        const char* pszReport; // null: no report
    } aCases[] = {
        {"-printerdriver=Model 12 Series -product=X -port=LPT1:", "printerdriver",
         "Model 12 Series", nullptr},
        {"-printerdriver=Model 12 Series -product=X -port=LPT1:", "product", "X", nullptr},
        {"-printerdriver=Model 12 Series -product=X -port=LPT1:", "port", "LPT1:", nullptr},
        {"-PRINTERDRIVER=Model 12 -port=X", "printerdriver", "Model 12", nullptr},
        {"-uninstall=Model 12", "UnInstall", "Model 12", nullptr},
        {"-corunpin=1 -runpin=2", "runpin", "1", nullptr},
        {"-port=A -port=B", "port", "A", nullptr},
        {"-port=   LPT1:", "port", "LPT1:", nullptr},
        {"-product=X -port=LPT1:   ", "port", "LPT1:   ", nullptr},
        {"-printerdriver=Model-12 -port=X", "printerdriver", "Model-12", nullptr},
        {"-printerdriver=Model-12 port=X", "printerdriver", "Model", nullptr},
        {"-printerdriver=Model 12   -port=X", "printerdriver", "Model 12", nullptr},
        {"-printerdriver=\"Model 12\" -port=X", "printerdriver", "\"Model 12\"", nullptr},
        {"-printerdriver= -product=X", "printerdriver", "", nullptr},
        {"-a=1\t-b=2", "a", "1\t", nullptr}, // a tab is no blank
        {"-printerdriver=Model 12 port=X", "printerdriver", nullptr,
         "isValue == CQvCiString::npos"},
        {"-port=A=B", "port", nullptr, "isValue == CQvCiString::npos"},
        {"-product=X -port=", "port", nullptr, "isCmdLine >= sCmdLine.length()"},
        {"-product=X -port=   ", "port", nullptr, "isCmdLine == CQvCiString::npos"},
        {"-product=X", "port", nullptr, nullptr},
        {"-product X", "product", nullptr, nullptr},
        {"", "port", nullptr, "sCmdLine.empty()"},
        {"-port=X", "", nullptr, "sKey.empty()"},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(std::string(c.pszCmdLine) + " / " + c.pszKey);
        size_t nBefore = LogLines().size();
        CQvCiString sValue = kSentinel;
        EXPECT_EQ(c.pszValue != nullptr, FindCmdLineVar(c.pszCmdLine, c.pszKey, &sValue));
        EXPECT_EQ(std::string(c.pszValue ? c.pszValue : kSentinel), sValue.c_str());
        EXPECT_EQ(c.pszReport ? Lines({Report(kUtils, c.pszReport)}) : Lines(), NewLines(nBefore));
    }
    EXPECT_FALSE(FindCmdLineVar("-port=X", "port", nullptr));
    EXPECT_EQ(Report(kUtils, "psValue == 0"), LogLines().back());
}

TEST_F(CmdLineTest, GetParameterFallsBackToTheDriverKey)
{
    Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12]\n"
           "\"port\"=\"USB001\"\n\"product\"=\"\"\n\"Number\"=dword:1\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12\\port]\n"
           "\"port\"=\"not here\"");
    const Lines vsNone;
    const struct
    {
        const char* pszCmdLine;
        const char* pszDriver;
        const char* pszName;
        const char* pszValue; // null: false
        Lines vsReports;
    } aCases[] = {
        {"-port=LPT1:", "Model 12", "port", "LPT1:", vsNone},
        {"-product=X", "Model 12", "PORT", "USB001", vsNone},
        {"", "Model 12", "port", "USB001", {Report(kUtils, "sCmdLine.empty()")}},
        {"", "model 12", "Port", "USB001", {Report(kUtils, "sCmdLine.empty()")}},
        {"", "Model 12", "missing", nullptr, {Report(kUtils, "sCmdLine.empty()")}},
        {"",
         "Model 12",
         "product",
         nullptr,
         {Report(kUtils, "sCmdLine.empty()"), Report(kUtils, "sParameterValue.empty()")}},
        {"",
         "Model 12",
         "Number",
         nullptr,
         {Report(kUtils, "sCmdLine.empty()"), Report(kRegistry, "dwType != REG_SZ")}},
        {"",
         "Model 13",
         "port",
         nullptr,
         {Report(kUtils, "sCmdLine.empty()"), Report(kRegistry, "lResult != ERROR_SUCCESS")}},
        {"-port=X", "", "product", nullptr, {Report(kUtils, "sDriverName.empty()")}},
        {"-port= -product=X",
         "Model 12",
         "port",
         nullptr,
         {Report(kUtils, "sParameterValue.empty()")}},
        {"-port=A=B",
         "Model 12",
         "port",
         "USB001",
         {Report(kUtils, "isValue == CQvCiString::npos")}},
        {"-port=X", "Model 12", "", nullptr, {Report(kUtils, "sParameterName.empty()")}},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(std::string(c.pszCmdLine) + " / " + c.pszDriver + " / " + c.pszName);
        size_t nBefore = LogLines().size();
        CQvCiString sValue = kSentinel;
        EXPECT_EQ(c.pszValue != nullptr,
                  GetParameter(c.pszCmdLine, c.pszDriver, c.pszName, &sValue));
        EXPECT_EQ(std::string(c.pszValue ? c.pszValue : kSentinel), sValue.c_str());
        EXPECT_EQ(c.vsReports, NewLines(nBefore));

        // IsParameterSet answers the same and adds nothing of its own.
        nBefore = LogLines().size();
        EXPECT_EQ(c.pszValue != nullptr, IsParameterSet(c.pszCmdLine, c.pszDriver, c.pszName));
        EXPECT_EQ(c.vsReports, NewLines(nBefore));
    }
    size_t nBefore = LogLines().size();
    EXPECT_FALSE(GetParameter("-port=X", "Model 12", "port", nullptr));
    EXPECT_EQ(Lines({Report(kUtils, "psParameterValue == 0")}), NewLines(nBefore));
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

} // namespace
