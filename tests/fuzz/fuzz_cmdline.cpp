// FindCmdLineVar and GetParameter on any argument text, parameter name and
// driver name. The input is the name, a NUL, the driver name, a NUL and the
// argument text. The registry fallback reads the Vesk key of "Model 12",
// whose values include the odd ones: empty, unterminated, not a string.
#include <windows.h>
#include <winsim.h>

#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "qvzvesk/qvzvesk_utils.h"

namespace
{

const char kVeskKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\";
const char kSentinel[] = "\x01untouched";

void PrepareMachine()
{
    winsim::Reset();
    std::string sError;
    bool fLoaded = winsim::ImportReg(std::string("REGEDIT4\n\n[") + kVeskKey +
                                         "Model 12]\n"
                                         "\"product\"=\"X\"\n"
                                         "\"port\"=\"  LPT1: \"\n"
                                         "\"NetworkInstall\"=\"true\"\n"
                                         "\"Empty\"=\"\"\n"
                                         "\"Unterminated\"=hex(1):41,42\n"
                                         "\"Number\"=dword:00000001\n"
                                         "\"Expand\"=hex(2):25,54,25,00\n"
                                         "\"Multi\"=hex(7):41,00,42,00,00\n",
                                     &sError);
    FUZZ_CHECK(fLoaded, sError);
}

std::string Part(const std::string& sInput, size_t* piStart)
{
    size_t iEnd = sInput.find('\0', *piStart);
    if (iEnd == std::string::npos)
        iEnd = sInput.size();
    std::string sPart = sInput.substr(*piStart, iEnd - *piStart);
    *piStart = iEnd < sInput.size() ? iEnd + 1 : iEnd;
    return sPart;
}

// The text of a REG_SZ value as a reader of the registry gets it.
bool RegistryText(const std::string& sDriver, const std::string& sName, std::string* psText)
{
    DWORD dwType = 0;
    std::string sBytes;
    if (!winsim::GetValue(kVeskKey + sDriver, sName, &dwType, &sBytes) || dwType != REG_SZ ||
        sBytes.empty())
        return false;
    *psText = sBytes.substr(0, sBytes.find('\0'));
    return true;
}

void CheckFindCmdLineVar(const std::string& sCmdLine, const std::string& sKey)
{
    CQvCiString sValue = kSentinel;
    bool fFound = FindCmdLineVar(sCmdLine.c_str(), sKey.c_str(), &sValue);
    const std::string sValueText = sValue.c_str();
    if (!fFound)
    {
        FUZZ_CHECK(sValueText == kSentinel, "a failed lookup changed its output");
        return;
    }
    FUZZ_CHECK(!sCmdLine.empty() && !sKey.empty(), "found in nothing");
    // The value is taken from just after the first "name=", blanks skipped,
    // and ends before any later "=" (and the name in front of it).
    size_t iName = morix_fuzz::FindNoCase(sCmdLine, sKey + "=");
    FUZZ_CHECK(iName != std::string::npos, "found a name that is not there");
    std::string sRest = sCmdLine.substr(iName + sKey.size() + 1);
    sRest.erase(0, sRest.find_first_not_of(' '));
    FUZZ_CHECK(sRest.compare(0, sValueText.size(), sValueText) == 0,
               "value '" + sValueText + "' does not start the rest '" + sRest + "'");
    FUZZ_CHECK(sValueText.find('=') == std::string::npos, "value holds '='");
    if (sRest.find('=') == std::string::npos)
        FUZZ_CHECK(sValueText == sRest, "the last parameter lost its tail");
    else
        FUZZ_CHECK(sValueText.empty() || sValueText.back() != ' ', "value ends in a blank");
}

void CheckGetParameter(const std::string& sCmdLine, const std::string& sDriver,
                       const std::string& sName)
{
    CQvCiString sValue = kSentinel;
    bool fFound = GetParameter(sCmdLine.c_str(), sDriver.c_str(), sName.c_str(), &sValue);
    FUZZ_CHECK(fFound == IsParameterSet(sCmdLine.c_str(), sDriver.c_str(), sName.c_str()),
               "IsParameterSet disagrees with GetParameter");
    FUZZ_CHECK(winsim::OpenKeyCount() == 0, "a key was left open");
    const std::string sValueText = sValue.c_str();
    CQvCiString sOnLine;
    std::string sStored;
    const bool fOnLine = FindCmdLineVar(sCmdLine.c_str(), sName.c_str(), &sOnLine);
    const bool fStored =
        !fOnLine && !sName.empty() && !sDriver.empty() && RegistryText(sDriver, sName, &sStored);
    // The line's value wins, even an empty one; the stored one counts only
    // when the line has none.
    const std::string sExpected = fOnLine ? sOnLine.c_str() : sStored;
    if (!fFound)
    {
        FUZZ_CHECK(sValueText == kSentinel, "a failed lookup changed its output");
        FUZZ_CHECK(sExpected.empty(), "'" + sExpected + "' was not found");
        return;
    }
    FUZZ_CHECK((fOnLine || fStored) && !sValueText.empty() && sValueText == sExpected,
               "found '" + sValueText + "', expected '" + sExpected + "'");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    PrepareMachine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData)
{
    const std::string sInput(reinterpret_cast<const char*>(pbData), cbData);
    size_t iStart = 0;
    const std::string sName = Part(sInput, &iStart);
    const std::string sDriver = Part(sInput, &iStart);
    const std::string sCmdLine = Part(sInput, &iStart);
    CheckFindCmdLineVar(sCmdLine, sName);
    CheckGetParameter(sCmdLine, sDriver, sName);
    return 0;
}
