// The whole run from the argument text, on a small Windows 98 machine: three
// printers, the Vesk keys of two drivers with their factory, device and class
// keys, and the recording test component. Every input starts from the same
// machine. The run must return 0, close every key, file and library, end its
// log with the four closing lines, call VendorUninstall only for printers of
// the driver it names, and leave the printers and the other driver's keys as
// they were.
#include <windows.h>
#include <winsim.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

#include "fuzz_common.h"
#include "qvzvesk/qvzvesk_log.h"

namespace
{

namespace fs = std::filesystem;

const char kProgramPath[] = "C:\\WINDOWS\\SYSTEM\\qvzmrx14.exe";
const std::string kHklm = "HKEY_LOCAL_MACHINE\\";
const std::string kPrinters = kHklm + "System\\CurrentControlSet\\Control\\Print\\Printers";
const std::string kVesk = kHklm + "SOFTWARE\\Brenmoor\\QVZ\\Vesk";
const std::string kConfig = "SOFTWARE\\Brenmoor\\QVKR Printing System Config";
const std::string kClass = kHklm + "System\\CurrentControlSet\\Services\\Class\\";

struct Driver
{
    const char* pszName;
    std::vector<std::string> vsKeys; // its own keys, each with its subtree
};

// The printers' drivers: Hall and Office use Model 12 (in two spellings), Lab
// uses Other Model.
const char* const kapszPrinterDrivers[][2] = {
    {"Hall", "model 12"}, {"Lab", "Other Model"}, {"Office", "Model 12"}};

const Driver kaDrivers[] = {
    {"Model 12",
     {kVesk + "\\Model 12", kVesk + "\\Factory\\Model 12", kHklm + kConfig + "\\Model 12",
      "HKEY_CURRENT_USER\\" + kConfig + "\\Model 12", kHklm + "ENUM\\PARENUM\\QVM12",
      kHklm + "ENUM\\LPTENUM\\QVM12", kHklm + "ENUM\\USBPRINT\\QVM12", kClass + "PRINTER\\0001"}},
    {"Other Model",
     {kVesk + "\\Other Model", kVesk + "\\Factory\\Other Model", kHklm + kConfig + "\\Other Model",
      kHklm + "ENUM\\PARENUM\\QVO77", kHklm + "ENUM\\USBPRINT\\QVO77", kClass + "PRINTER\\0003"}},
};

std::string Key(const std::string& sPath)
{
    return "[" + sPath + "]\n";
}

std::string MachineText()
{
    std::string sText =
        "REGEDIT4\n\n" + Key("HKEY_CURRENT_USER\\Software\\Wine") + "\"Version\"=\"win98\"\n";
    for (const auto& apszPrinter : kapszPrinterDrivers)
        sText += Key(kPrinters + "\\" + apszPrinter[0]) + "\"Name\"=\"" + apszPrinter[0] +
                 "\"\n\"Printer Driver\"=\"" + apszPrinter[1] + "\"\n\"Port\"=\"LPT1:\"\n";
    sText += Key(kVesk + "\\Model 12") + "\"Product\"=\"X\"\n\"CIOSupport\"=\"true\"\n" +
             Key(kVesk + "\\Other Model") + "\"NetworkInstall\"=\"true\"\n" +
             Key(kVesk + "\\Factory\\Model 12") + "\"DeviceID\"=\"QVM12\"\n" +
             Key(kVesk + "\\Factory\\Other Model") + "\"KormantID\"=\"QVO77\"\n" +
             Key(kVesk + "\\1284PnP") + Key(kVesk + "\\Legacy") +
             Key(kHklm + "SOFTWARE\\Brenmoor\\qvf\\C32") + Key(kHklm + kConfig + "\\Model 12") +
             "\"QVKRPPUITabs\"=dword:00000003\n" + Key(kHklm + kConfig + "\\Other Model") +
             "\"QVKRPPUITabs\"=dword:00000003\n" +
             Key("HKEY_CURRENT_USER\\" + kConfig + "\\Model 12") +
             Key(kHklm + "ENUM\\PARENUM\\QVM12") + Key(kHklm + "ENUM\\LPTENUM\\QVM12") +
             Key(kHklm + "ENUM\\PARENUM\\QVO77") + Key(kHklm + "ENUM\\USBPRINT\\QVM12\\0001") +
             "\"HardwareID\"=\"USBPRINT\\\\QVM12_1\"\n\"Driver\"=\"PRINTER\\\\0001\"\n" +
             Key(kHklm + "ENUM\\USBPRINT\\QVO77\\0001") +
             "\"HardwareID\"=\"USBPRINT\\\\QVO77_1\"\n\"Driver\"=\"PRINTER\\\\0003\"\n" +
             Key(kClass + "PRINTER\\0001") + Key(kClass + "PRINTER\\0003");
    return sText;
}

std::string g_sMachineText;
std::string g_sCallsPath;
std::vector<std::string> g_vsBefore; // the export's lines before every run

std::vector<std::string> ExportLines()
{
    std::vector<std::string> vsLines;
    std::istringstream text(winsim::ExportReg());
    std::string sLine;
    std::string sKey;
    while (std::getline(text, sLine))
    {
        if (sLine.empty() || sLine == "REGEDIT4")
            continue;
        if (sLine[0] == '[')
        {
            sKey = sLine;
            vsLines.push_back(sKey);
        }
        else
            vsLines.push_back(sKey + " " + sLine);
    }
    return vsLines;
}

// The lines that belong to the key or its subtree, letter case ignored.
std::set<std::string> Subtree(const std::vector<std::string>& vsLines, const std::string& sKey)
{
    std::set<std::string> items;
    for (const std::string& sLine : vsLines)
    {
        if (sLine.size() > sKey.size() + 1 &&
            morix_fuzz::EqualNoCase(sLine.substr(1, sKey.size()), sKey) &&
            (sLine[sKey.size() + 1] == ']' || sLine[sKey.size() + 1] == '\\'))
            items.insert(sLine);
    }
    return items;
}

void PrepareMachine()
{
    winsim::Reset();
    setenv("TEMP", "C:\\TEMP", 1);
    unsetenv("TMP");
    std::string sError;
    FUZZ_CHECK(winsim::ImportReg(g_sMachineText, &sError), sError);
    fs::create_directories(winsim::MapPath("C:\\TEMP"));
    fs::create_symlink(QVZCON_RECORDING,
                       winsim::MapPath("C:\\WINDOWS\\SYSTEM32") + "/qvzcon14.dll");
    std::error_code ec;
    fs::remove(g_sCallsPath, ec);
}

std::string ReadHostFile(const std::string& sPath)
{
    std::ifstream file(sPath, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// What the text-mode stream makes of a message.
std::string AsWritten(const std::string& sText)
{
    std::string sOut;
    for (char ch : sText)
    {
        if (ch == '\n')
            sOut += '\r';
        sOut += ch;
    }
    return sOut;
}

// The driver name of the closing lines ("NULL" for none) and the verdict.
void CheckClosingLines(const std::string& sLog, const std::string& sCmdLine, std::string* psDriver,
                       bool* pfSucceeded)
{
    const std::string sSucceeded = "\r\nThe Morix Succeeded\r\n";
    const std::string sFailed = "\r\nThe Morix Failed\r\n";
    auto fnEndsWith = [&sLog](const std::string& sTail)
    {
        return sLog.size() >= sTail.size() &&
               sLog.compare(sLog.size() - sTail.size(), sTail.size(), sTail) == 0;
    };
    *pfSucceeded = fnEndsWith(sSucceeded);
    FUZZ_CHECK(*pfSucceeded || fnEndsWith(sFailed), "no verdict ends the log");
    const std::string sRest =
        sLog.substr(0, sLog.size() - (*pfSucceeded ? sSucceeded : sFailed).size());
    const std::string sLines =
        AsWritten(std::string("Morix Pathname = ") + kProgramPath + "\nCommand Line = " +
                  (sCmdLine.empty() ? "NULL" : sCmdLine) + "\nDriver Name = ");
    size_t iLines = sRest.rfind(sLines);
    FUZZ_CHECK(iLines != std::string::npos, "the closing lines are not there");
    *psDriver = sRest.substr(iLines + sLines.size());
    FUZZ_CHECK(*psDriver == "NULL" || AsWritten(sCmdLine).find(*psDriver) != std::string::npos,
               "driver name '" + *psDriver + "' is not from the argument text");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static char szProgram[sizeof kProgramPath];
    memcpy(szProgram, kProgramPath, sizeof kProgramPath);
    static char* apszArgv[] = {szProgram, nullptr};
    __argc = 1;
    __argv = apszArgv;
    g_sMachineText = MachineText();
    // One place for the whole session: every new value of an environment
    // variable stays allocated for good.
    const char* pszTemp = getenv("TMPDIR");
    g_sCallsPath = std::string(pszTemp && *pszTemp ? pszTemp : "/tmp") + "/morix-fuzz-calls-" +
                   std::to_string(getpid());
    setenv("QVZCON_CALLS", g_sCallsPath.c_str(), 1);
    atexit([] { unlink(g_sCallsPath.c_str()); });
    PrepareMachine();
    g_vsBefore = ExportLines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData)
{
    // WinMain gets a C string; no input at all stands for a null pointer.
    std::string sCmdLine(reinterpret_cast<const char*>(pbData), cbData);
    sCmdLine.erase(std::min(sCmdLine.find('\0'), sCmdLine.size()));
    std::vector<char> vchCmdLine(sCmdLine.begin(), sCmdLine.end());
    vchCmdLine.push_back('\0');

    int nResult = WinMain(nullptr, nullptr, cbData == 0 ? nullptr : vchCmdLine.data(), 1);
    g_LogFile.Close();
    FUZZ_CHECK(nResult == 0, "WinMain returned " + std::to_string(nResult));
    FUZZ_CHECK(winsim::OpenKeyCount() == 0, "a key handle is open");
    FUZZ_CHECK(winsim::OpenFileCount() == 0, "a file is open");
    FUZZ_CHECK(winsim::LoadedLibraryCount() == 0, "a library is loaded");

    std::string sDriver;
    bool fSucceeded = false;
    CheckClosingLines(ReadHostFile(winsim::MapPath("C:\\TEMP\\qvzmorix00.log")), sCmdLine, &sDriver,
                      &fSucceeded);
    FUZZ_CHECK(!fSucceeded || sDriver.find('\\') == std::string::npos,
               "succeeded with a backslash in the driver name");

    const std::vector<std::string> vsAfter = ExportLines();
    FUZZ_CHECK(Subtree(g_vsBefore, kPrinters) == Subtree(vsAfter, kPrinters),
               "the printers changed");
    for (const Driver& driver : kaDrivers)
    {
        if (morix_fuzz::EqualNoCase(driver.pszName, sDriver))
            continue;
        for (const std::string& sKey : driver.vsKeys)
            FUZZ_CHECK(Subtree(g_vsBefore, sKey) == Subtree(vsAfter, sKey),
                       sKey + " changed in a run for '" + sDriver + "'");
    }

    std::istringstream calls(ReadHostFile(g_sCallsPath));
    std::string sPrinter;
    while (std::getline(calls, sPrinter))
    {
        bool fOfTheDriver = false;
        for (const auto& apszPrinter : kapszPrinterDrivers)
            fOfTheDriver = fOfTheDriver || (sPrinter == apszPrinter[0] &&
                                            morix_fuzz::EqualNoCase(apszPrinter[1], sDriver));
        FUZZ_CHECK(fOfTheDriver, "VendorUninstall(" + sPrinter + ") in a run for " + sDriver);
    }

    // The next input starts from the same machine. Made ready here, the
    // machine holds as many blocks after an input as before it, so libFuzzer
    // looks for leaks only when a run really leaks.
    PrepareMachine();
    return 0;
}
