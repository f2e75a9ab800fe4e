// The preview's text output: the answer first (verdict, operation, printers
// told, the registry in counts, every warning in one line), then the details
// that back it: what was read and assumed, the log, the registry changes as
// REGEDIT4, the component calls. UTF-8; the caller fits it to the terminal.
#include "preview_result.h"

namespace preview
{

namespace
{

std::string FormatName(const InputFile& file)
{
    if (file.nFormat == kFormatHive)
        return "NT hive file";
    if (file.nFormat == kFormat9x)
        return "Windows 9x registry file";
    return (file.nFormat == winsim::detail::RegTextVersion5 ? "Windows Registry Editor Version 5.00"
                                                            : "REGEDIT4") +
           std::string(", ") + file.sEncoding;
}

std::string Count(size_t n, const char* pszOne, const char* pszMany)
{
    return std::to_string(n) + " " + (n == 1 ? pszOne : pszMany);
}

std::string MessageLine(const Message& message)
{
    return message.sSubject.empty() ? message.sText : message.sSubject + ": " + message.sText;
}

void Summary(const Result& result, std::string* psOut)
{
    std::string& sOut = *psOut;
    switch (result.eVerdict)
    {
    case Result::Succeeded:
        sOut += "Verdict: the run would succeed (the log ends \"The Morix Succeeded\")\n";
        break;
    case Result::Failed:
        sOut += "Verdict: the run would fail (the log ends \"The Morix Failed\")\n";
        break;
    case Result::NoVerdict:
        sOut += "Verdict: none (the program wrote no closing line)\n";
        break;
    }
    std::string sDriver =
        result.fHasDriver ? "the driver \"" + ForTerminal(result.sDriver) + "\"" : "no driver name";
    if (result.sOperation.empty())
        sOut += "Operation: neither install nor uninstall (" + sDriver + ")\n";
    else
        sOut += "Operation: " + result.sOperation + " of " + sDriver + "\n";

    size_t nTold = 0;
    std::string sTold;
    for (size_t i = 0; i < result.vPrinters.size(); ++i)
        if (result.vfTold[i])
        {
            ++nTold;
            sTold +=
                (sTold.empty() ? " (\"" : ", \"") + ForTerminal(result.vPrinters[i].sName) + "\"";
        }
    sOut += "Printers told: " + std::to_string(nTold) + " of " +
            std::to_string(result.vPrinters.size()) + (sTold.empty() ? "" : sTold + ")");
    if (result.sOperation == "install")
        sOut += " (an install tells none)";
    else if (result.sComponent != "present" && result.sOperation == "uninstall")
        sOut += " (component library " + result.sComponent + ")";
    sOut += "\n";

    const ChangeList& changes = result.changes;
    sOut += "Registry: " + Count(changes.nKeysRemoved, "key", "keys") + " removed (" +
            std::to_string(changes.nKeysRemoved + changes.nSubkeysRemoved) +
            " with their subkeys), " + std::to_string(changes.nKeysCreated) + " created; " +
            Count(changes.nValuesWritten, "value", "values") + " written, " +
            std::to_string(changes.nValuesRemoved) + " removed\n";
    if (result.vWarnings.empty())
        sOut += "Warnings: none\n";
    for (const Message& warning : result.vWarnings)
        sOut += "Warning: " + MessageLine(warning) + "\n";
}

void Assumptions(const Result& result, std::string* psOut)
{
    std::string& sOut = *psOut;
    for (const InputFile& file : result.vFiles)
    {
        std::string sPlaces;
        for (const std::string& sPlace : file.vsPlaces)
            sPlaces += (sPlaces.empty() ? "" : ", ") + sPlace;
        sOut += "Machine file: " + file.sPath + " (" + FormatName(file) + "), giving " +
                (sPlaces.empty() ? std::string("no keys") : ForTerminal(sPlaces)) + "\n";
    }
    for (const Message& note : result.vNotes)
        sOut += "  " + MessageLine(note) + "\n";
    for (const Message& warning : result.vWarnings)
        if (!warning.sSubject.empty())
            sOut += "  " + MessageLine(warning) + "\n";
    sOut += "Current user: " + DescribeCurrentUser(result.user) + "\n";
    sOut += "Windows version: " + result.version.sName + " (" + result.version.sSource + ")\n";
    for (const std::string& sClaim : result.version.vsClaims)
        sOut += "  " + sClaim + "\n";
    sOut += "Windows folder: " + ForTerminal(result.folders.sWindows) + " (" +
            ForTerminal(result.folders.sWindowsSource) + ")\n";
    sOut += "System folder: " + ForTerminal(result.folders.sSystem) + " (" +
            result.folders.sSystemSource + ")\n";
    if (result.sPrintersKey.empty())
        sOut += "Printers: none (no input has a ...\\Control\\Print\\Printers key the spooler "
                "reads)\n";
    else if (result.vPrinters.empty())
        sOut += "Printers: none (" + ForTerminal(result.sPrintersKey) + " has no subkeys)\n";
    else
        sOut += "Printers: " + std::to_string(result.vPrinters.size()) + " in " +
                ForTerminal(result.sPrintersKey) + " (* told by VendorUninstall)\n";
    for (size_t i = 0; i < result.vPrinters.size(); ++i)
        sOut += (result.vfTold[i] ? "  * " : "    ") + DescribePrinter(result.vPrinters[i]) + "\n";
    sOut += "Component library: " + result.sComponentNote + "\n";
}

void Banner(const std::string& sTitle, std::string* psOut)
{
    *psOut += "\n======== " + sTitle + "\n";
}

} // namespace

std::string RenderText(const Result& result)
{
    std::string sOut = "Morix preview: qvzmrx14 " + result.sTyped + "\n";
    Summary(result, &sOut);
    sOut += "\n";
    Assumptions(result, &sOut);

    Banner("The log" +
               (result.sLogName.empty() ? std::string() : " (C:\\TEMP\\" + result.sLogName + ")"),
           &sOut);
    if (result.sLogName.empty())
        sOut += "(no log written)\n";
    for (const std::string& sLine : result.vsLog)
        sOut += ForTerminal(sLine) + "\n";
    if (result.nStatus != 0)
        sOut += "(the program ended with status " + std::to_string(result.nStatus) + ")\n";

    Banner("Registry changes", &sOut);
    sOut += ForTerminal(result.changes.sText);
    sOut += "\n" + ChangeSummary(result.changes);
    for (const std::string& sLine : result.vsConversionsOnRun)
        sOut += "; " + sLine + "\n";

    Banner("VendorUninstall calls (component library " + result.sComponent + ")", &sOut);
    if (result.vsCalls.empty())
        sOut += "(none)\n";
    for (const std::string& sPrinter : result.vsCalls)
        sOut += "VendorUninstall(\"" + ForTerminal(sPrinter) + "\")\n";
    if (result.fWriteResultDone)
        sOut += "\n(the registry after the run: " + result.sWriteResult + ")\n";
    return sOut;
}

} // namespace preview
