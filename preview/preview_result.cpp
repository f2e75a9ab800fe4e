// What a preview's result means: the verdict and the operation as the
// program's own log states them, which printers were told, and the warnings
// where the preview could otherwise mislead.
#include "preview_result.h"

#include <cstring>
#include <string_view>

namespace preview
{

using namespace winsim::detail;

namespace
{

bool StartsWith(std::string_view sv, std::string_view svPrefix)
{
    return sv.substr(0, svPrefix.size()) == svPrefix;
}

bool AtOrBelow(std::string_view svPath, std::string_view svTop)
{
    return svPath.size() >= svTop.size() && EqualNoCase(svPath.substr(0, svTop.size()), svTop) &&
           (svPath.size() == svTop.size() || svPath[svTop.size()] == '\\');
}

// "ROOT\first" of a key path, or the root alone.
std::string PlaceOf(const std::string& sKey)
{
    size_t iFirst = sKey.find('\\');
    if (iFirst == std::string::npos)
        return sKey;
    size_t iSecond = sKey.find('\\', iFirst + 1);
    return sKey.substr(0, iSecond);
}

bool Is9xName(const std::string& sOs)
{
    return sOs == "win95" || sOs == "win98" || sOs == "winme";
}

// The input a user adds to give that part of the registry.
std::string WhatToAdd(const std::string& sPlace, bool f9x)
{
    bool fUser = AtOrBelow(sPlace, "HKEY_CURRENT_USER") || AtOrBelow(sPlace, "HKEY_USERS");
    if (f9x)
        return fUser ? "USER.DAT or a regedit /e export of it"
                     : "SYSTEM.DAT or a regedit /e export of it";
    if (fUser)
        return "the user's NTUSER.DAT or a regedit export of it";
    size_t iName = sPlace.find('\\');
    std::string sHive =
        iName == std::string::npos ? "SOFTWARE and SYSTEM" : sPlace.substr(iName + 1);
    for (char& ch : sHive)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    return "the " + sHive + " hive or a regedit export of it";
}

class Coverage
{
public:
    explicit Coverage(const Result& result) : m_result(result) {}

    bool Gives(const std::string& sKey) const
    {
        if (AtOrBelow(sKey, "HKEY_CURRENT_USER"))
            return m_result.user.eSource != CurrentUser::None;
        for (const InputFile& file : m_result.vFiles)
            for (const std::string& sPlace : file.vsPlaces)
                if (AtOrBelow(sKey, sPlace))
                    return true;
        return false;
    }

private:
    const Result& m_result;
};

void WarnMissingParts(Result* pResult)
{
    Coverage coverage(*pResult);
    bool f9x = Is9xName(pResult->version.sName);
    // The parts the run writes, with the keys it makes there.
    std::vector<std::pair<std::string, size_t>> vWritten;
    for (const std::string& sKey : pResult->changes.vsKeys)
    {
        if (coverage.Gives(sKey))
            continue;
        std::string sPlace = PlaceOf(sKey);
        bool fSeen = false;
        for (const auto& written : vWritten)
            fSeen = fSeen || EqualNoCase(written.first, sPlace);
        if (!fSeen)
            vWritten.emplace_back(sPlace, 0);
    }
    for (const RegistryChange& change : pResult->changes.vEntries)
        for (auto& written : vWritten)
            if (change.eKind == RegistryChange::KeyCreated &&
                AtOrBelow(change.sKeyPath, written.first))
                ++written.second;
    for (const auto& written : vWritten)
        pResult->vWarnings.push_back(
            {"", "no input gives " + ForTerminal(written.first) + ", yet the run writes there: " +
                     (written.second == 0 ? std::string("what it changes there is unknown")
                                          : "its " + std::to_string(written.second) + " key" +
                                                (written.second == 1 ? "" : "s") +
                                                " shown as new may already exist on the machine") +
                     " (add " + WhatToAdd(written.first, f9x) + ")"});

    // The parts it reads, where nothing it wrote has been said already.
    struct Read
    {
        const char* pszPlace;
        const char* pszWhat;
        bool fUninstallOnly;
        bool f9xOnly;
    };
    static const Read s_aRead[] = {
        {"HKEY_LOCAL_MACHINE\\SOFTWARE", "the driver's keys and settings", false, false},
        {"HKEY_LOCAL_MACHINE\\SYSTEM", "the printers the spooler lists", true, false},
        {"HKEY_LOCAL_MACHINE\\Enum", "the printer devices an uninstall removes", true, true},
        {"HKEY_CURRENT_USER", "the current user's keys of the driver", false, false},
    };
    bool fUninstall = pResult->sOperation == "uninstall";
    for (const Read& read : s_aRead)
    {
        if (pResult->sOperation.empty() || (read.fUninstallOnly && !fUninstall) ||
            (read.f9xOnly && !f9x) || coverage.Gives(read.pszPlace))
            continue;
        bool fSaid = false;
        for (const auto& written : vWritten)
            fSaid = fSaid || AtOrBelow(written.first, read.pszPlace);
        if (!fSaid)
            pResult->vWarnings.push_back({"", "no input gives " + std::string(read.pszPlace) +
                                                  ", which the run reads for " + read.pszWhat +
                                                  ": the preview takes it as empty (add " +
                                                  WhatToAdd(read.pszPlace, f9x) + ")"});
    }
}

} // namespace

void Analyse(Result* pResult)
{
    Result& result = *pResult;
    for (const std::string& sLine : result.vsLog)
    {
        if (sLine == "The Morix Succeeded")
            result.eVerdict = Result::Succeeded;
        else if (sLine == "The Morix Failed")
            result.eVerdict = Result::Failed;
        else if (StartsWith(sLine, "Driver Name = "))
        {
            result.sDriver = sLine.substr(14);
            result.fHasDriver = !result.sDriver.empty() && result.sDriver != "NULL";
        }
        else if (StartsWith(sLine, "ComponentUninstall (") ||
                 StartsWith(sLine, "CleanupRegistry ("))
            result.sOperation = "uninstall";
        else if (StartsWith(sLine, "NetworkInstall = "))
            result.sOperation = "install";
    }
    if (!result.fHasDriver)
        result.sDriver.clear();

    result.vfTold.assign(result.vPrinters.size(), false);
    result.nDriverPrinters = 0;
    for (size_t i = 0; i < result.vPrinters.size(); ++i)
    {
        const PrinterFound& printer = result.vPrinters[i];
        for (const std::string& sCalled : result.vsCalls)
            result.vfTold[i] = result.vfTold[i] || sCalled == printer.sName;
        if (result.fHasDriver && printer.fHasDriver && EqualNoCase(printer.sDriver, result.sDriver))
            ++result.nDriverPrinters;
    }

    // Notes: what the readers converted, how the argument reached the program.
    if (result.nArgumentChanged > 0)
        result.vNotes.push_back({"", "argument text as the machine's ANSI code page has it: " +
                                         ForTerminal(result.sArgument) + " (" +
                                         std::to_string(result.nArgumentChanged) +
                                         " characters without their exact form there)"});
    for (const InputFile& file : result.vFiles)
        for (const std::string& sLine : DescribeInput(file))
        {
            bool fWarning = false;
            for (const std::string& sWarning : file.vsWarnings)
                fWarning = fWarning || sWarning == sLine;
            (fWarning ? result.vWarnings : result.vNotes).push_back({file.sPath, sLine});
        }
    if (result.fWriteResultReplaces)
        result.vNotes.push_back(
            {"", "--write-result replaces the existing file " + result.sWriteResult});

    // Warnings: where the preview could mislead without a word.
    if (result.eVerdict == Result::NoVerdict)
        result.vWarnings.push_back({"", "the program ended without its closing line (status " +
                                            std::to_string(result.nStatus) +
                                            "): the preview has no verdict"});
    if (!result.version.vsClaims.empty())
        result.vWarnings.push_back(
            {"", "--os " + result.version.sName +
                     " decides, but the inputs say otherwise: " + result.version.vsClaims.front()});
    if (result.fHasDriver)
    {
        const char* pszEnds = "\"' \t";
        std::string_view svDriver = result.sDriver;
        if (strchr(pszEnds, svDriver.front()) || strchr(pszEnds, svDriver.back()))
            result.vWarnings.push_back(
                {"", "the driver name \"" + ForTerminal(result.sDriver) +
                         "\" has quotes or blanks at its ends, which the program keeps as part "
                         "of the name; quote the whole argument for the shell instead: -- "
                         "'-uninstall=Model 12'"});
    }
    if (result.sOperation == "uninstall" && result.nDriverPrinters == 0)
    {
        std::string sText = "no printer uses the driver \"" + ForTerminal(result.sDriver) +
                            "\", so none would be told";
        for (const std::string& sLine : result.vsLog)
            if (StartsWith(sLine, "ComponentUninstall (") && sLine.size() > 7 &&
                sLine.compare(sLine.size() - 7, 7, " Failed") == 0)
                sText += "; the log's \"ComponentUninstall (...) Failed\" says the same and does "
                         "not stop the uninstall";
        result.vWarnings.push_back({"", sText});
    }
    WarnMissingParts(pResult);
}

std::string ValueTypeName(unsigned long dwType)
{
    static const char* const s_apszNames[] = {"REG_NONE",
                                              "REG_SZ",
                                              "REG_EXPAND_SZ",
                                              "REG_BINARY",
                                              "REG_DWORD",
                                              "REG_DWORD_BIG_ENDIAN",
                                              "REG_LINK",
                                              "REG_MULTI_SZ",
                                              "REG_RESOURCE_LIST",
                                              "REG_FULL_RESOURCE_DESCRIPTOR",
                                              "REG_RESOURCE_REQUIREMENTS_LIST",
                                              "REG_QWORD"};
    if (dwType < sizeof s_apszNames / sizeof s_apszNames[0])
        return s_apszNames[dwType];
    return std::to_string(dwType);
}

} // namespace preview
