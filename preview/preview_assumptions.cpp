// What the run assumes about the machine, each with where it came from: the
// Windows version (--os decides; else the inputs), the Windows and system
// folders (the inputs' "SystemRoot", named the way the family names its system
// folder), and the printers the spooler will list.
#include "preview.h"

#include <cctype>

namespace preview
{

using namespace winsim::detail;

namespace
{

const char kNtVersionKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char k9xVersionKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

bool Is9x(const std::string& sOs)
{
    return sOs == "win95" || sOs == "win98" || sOs == "winme";
}

std::string StringData(const RegValue& value)
{
    std::string_view svBytes = value.Bytes();
    return std::string(svBytes.substr(0, svBytes.find('\0')));
}

// "X:\name\name": a whole path on a drive, each name one a folder can have,
// short enough that the system folder and a file name still fit MAX_PATH.
bool IsFolderPath(const std::string& sPath)
{
    if (sPath.size() < 3 || sPath.size() > 200 || !isalpha(static_cast<unsigned char>(sPath[0])) ||
        sPath[1] != ':' || sPath[2] != '\\')
        return false;
    size_t iStart = 3;
    while (iStart < sPath.size())
    {
        size_t iEnd = sPath.find('\\', iStart);
        if (iEnd == std::string::npos)
            iEnd = sPath.size();
        std::string sName = sPath.substr(iStart, iEnd - iStart);
        if (sName.empty() || sName == "." || sName == ".." ||
            sName.find_first_of("<>:\"/|?*") != std::string::npos)
            return false;
        for (char ch : sName)
            if (static_cast<unsigned char>(ch) < 0x20)
                return false;
        iStart = iEnd + 1;
    }
    return sPath.back() != '\\' || sPath.size() == 3;
}

} // namespace

bool ChooseVersion(const std::string& sOsOption, const std::vector<InputFile>& vFiles,
                   VersionChoice* pChoice, std::string* psError)
{
    const VersionClue* pKnown = nullptr;
    for (const InputFile& file : vFiles)
    {
        const VersionClue& clue = file.clue;
        if (clue.sWhere.empty())
            continue;
        pChoice->vsClaims.push_back(clue.sFile + ": " + ForTerminal(clue.sWhere));
        if (!sOsOption.empty())
            continue;
        if (!clue.sError.empty())
        {
            *psError = clue.sFile + ": " + ForTerminal(clue.sError) +
                       "; name the version to preview with --os";
            return false;
        }
        if (pKnown && pKnown->sName != clue.sName)
        {
            *psError = "conflicting Windows versions: " + pKnown->sFile + " says " + pKnown->sName +
                       " (" + ForTerminal(pKnown->sWhere) + "), " + clue.sFile + " says " +
                       clue.sName + " (" + ForTerminal(clue.sWhere) +
                       "); name the version to preview with --os";
            return false;
        }
        if (!pKnown)
            pKnown = &clue;
    }
    if (!sOsOption.empty())
    {
        pChoice->sName = sOsOption;
        pChoice->sSource = "named with --os";
        std::string sSays;
        for (const InputFile& file : vFiles)
        {
            const VersionClue& clue = file.clue;
            if (clue.sWhere.empty() || clue.sName == sOsOption)
                continue;
            std::string sThis = clue.sName.empty() ? "none of the six" : clue.sName;
            if (sSays.find(sThis) == std::string::npos)
                sSays += (sSays.empty() ? "" : ", ") + sThis;
        }
        if (!sSays.empty())
            pChoice->sSource += "; the export says " + sSays;
        else
            pChoice->vsClaims.clear(); // they agree
        return true;
    }
    if (!pKnown)
    {
        *psError =
            "cannot tell the Windows version: no export has " + std::string(kNtVersionKey) +
            " \"CurrentVersion\" or " + k9xVersionKey +
            " \"VersionNumber\"; add the input that has it (NT: the SOFTWARE hive or an export "
            "of HKEY_LOCAL_MACHINE\\SOFTWARE; 9x: SYSTEM.DAT or a regedit /e export), or "
            "name the version with --os";
        return false;
    }
    pChoice->sName = pKnown->sName;
    pChoice->sSource = "inferred from " + pKnown->sFile + ": " + ForTerminal(pKnown->sWhere);
    pChoice->vsClaims.clear(); // the source says it
    return true;
}

MachineFolders FindFolders(const Registry& registry, const std::string& sOs)
{
    MachineFolders folders;
    bool f9x = Is9x(sOs);
    // Each family keeps it under its own version key; the other family's key
    // is asked second, for the export of a machine previewed as the other family.
    const char* apszKeys[] = {f9x ? k9xVersionKey : kNtVersionKey,
                              f9x ? kNtVersionKey : k9xVersionKey};
    std::string sRefused;
    for (const char* pszKey : apszKeys)
    {
        std::shared_ptr<RegKey> pKey = FindKeyByPath(registry, pszKey);
        const RegValue* pValue = pKey ? FindValue(*pKey, "SystemRoot") : nullptr;
        if (!pValue || (pValue->dwType != REG_SZ && pValue->dwType != REG_EXPAND_SZ))
            continue;
        std::string sRoot = StringData(*pValue);
        std::string sWhere = std::string(pszKey) + " \"SystemRoot\"";
        if (IsFolderPath(sRoot))
        {
            folders.sWindows = sRoot;
            folders.sWindowsSource = sWhere;
            break;
        }
        if (sRefused.empty())
            sRefused = "; " + sWhere + " = \"" + sRoot + "\" is not a folder path";
    }
    if (folders.sWindows.empty())
    {
        bool fWinnt = sOs == "nt40" || sOs == "win2k";
        folders.sWindows = fWinnt ? "C:\\WINNT" : "C:\\WINDOWS";
        folders.sWindowsSource = "assumed: where " + sOs + " installs unless told otherwise; " +
                                 "no input names it" + sRefused;
    }
    folders.sSystem = folders.sWindows + (folders.sWindows.back() == '\\' ? "" : "\\") +
                      (f9x ? "SYSTEM" : "system32");
    folders.sSystemSource =
        f9x ? "the 9x family's SYSTEM in the Windows folder" : "the NT family's system32";
    return folders;
}

std::vector<PrinterFound> FindPrinters(const Registry& registry, std::string* psKey)
{
    std::vector<PrinterFound> vPrinters;
    psKey->clear();
    std::shared_ptr<RegKey> pPrinters = FindPrintersKey(registry, psKey);
    if (!pPrinters)
        return vPrinters;
    *psKey = KeyPath(*pPrinters); // as the input spells it
    // As the spooler lists them: "Name", or the key's name where it has none.
    for (const auto& pPrinter : pPrinters->vpSubkeys)
    {
        PrinterFound printer;
        auto text = [&](const char* pszName, std::string* psText)
        {
            const RegValue* pValue = FindValue(*pPrinter, pszName);
            if (pValue && (pValue->dwType == REG_SZ || pValue->dwType == REG_EXPAND_SZ))
                *psText = StringData(*pValue);
            return pValue != nullptr;
        };
        if (!text("Name", &printer.sName) || printer.sName.empty())
            printer.sName = pPrinter->sName;
        printer.fHasDriver = text("Printer Driver", &printer.sDriver);
        printer.fHasPort = text("Port", &printer.sPort);
        vPrinters.push_back(printer);
    }
    return vPrinters;
}

std::string DescribePrinter(const PrinterFound& printer)
{
    std::string sText = "\"" + printer.sName + "\": driver ";
    sText += printer.fHasDriver ? "\"" + printer.sDriver + "\"" : "(none)";
    sText += ", port ";
    sText += printer.fHasPort ? "\"" + printer.sPort + "\"" : "(none)";
    return ForTerminal(sText);
}

} // namespace preview
