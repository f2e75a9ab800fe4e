// Generated machines: the shapes of real registries (class registrations,
// device trees, services, software keys) with every kind of value regedit
// writes, deterministic for a given size.
#include "machine_generator.h"

#include <winsim/regtext_write.h>

#include <cstdio>

namespace bench
{

namespace
{

using winsim::detail::FormatValueLine;

void Key(std::string* psOut, const std::string& sPath)
{
    *psOut += "\n[" + sPath + "]\n";
}

void Text(std::string* psOut, const char* pszName, const std::string& sText)
{
    std::string sBytes = sText + '\0';
    FormatValueLine(pszName, REG_SZ, sBytes, psOut);
}

void Dword(std::string* psOut, const char* pszName, unsigned int uValue)
{
    std::string sBytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        sBytes[i] = static_cast<char>((uValue >> (8 * i)) & 0xFF);
    FormatValueLine(pszName, REG_DWORD, sBytes, psOut);
}

// Strings that regedit writes as hex lists: in version 5.00 their bytes are
// UTF-16LE, in REGEDIT4 the ANSI bytes.
void HexString(std::string* psOut, const char* pszName, DWORD dwType, const std::string& sText,
               bool fWide)
{
    std::string sBytes;
    for (char ch : sText)
    {
        sBytes += ch;
        if (fWide)
            sBytes += '\0';
    }
    sBytes += fWide ? std::string(2, '\0') : std::string(1, '\0');
    FormatValueLine(pszName, dwType, sBytes, psOut);
}

void Binary(std::string* psOut, const char* pszName, size_t cb, unsigned int uSeed)
{
    std::string sBytes;
    for (size_t i = 0; i < cb; ++i)
    {
        uSeed = uSeed * 1103515245u + 12345u;
        sBytes += static_cast<char>(uSeed >> 16);
    }
    FormatValueLine(pszName, REG_BINARY, sBytes, psOut);
}

std::string Guid(unsigned int uIndex)
{
    char szGuid[48];
    // Rising with the index, as regedit lists keys in their sorted order.
    unsigned int u = uIndex * 2654435761u;
    snprintf(szGuid, sizeof szGuid, "{%08X-%04X-%04X-%04X-%012X}", uIndex * 4099u, u & 0xFFFF,
             (u >> 8) & 0xFFFF, 0x8000 | (uIndex & 0x0FFF), uIndex * 7919u);
    return szGuid;
}

std::string Number(const char* pszFormat, size_t n)
{
    char szBuffer[256];
    snprintf(szBuffer, sizeof szBuffer, pszFormat, static_cast<unsigned>(n));
    return szBuffer;
}

// The driver's own keys, as the Vesk leaves them.
void DriverKeys(std::string* psOut, bool fNt)
{
    Key(psOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk");
    Text(psOut, "FactoryPreloaded", "false");
    Key(psOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12");
    Text(psOut, "Product", "X");
    Text(psOut, "Port", fNt ? "USB001" : "LPT1:");
    Key(psOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Factory\\Model 12");
    Text(psOut, "DeviceID", "BRENMOORMODEL_12");
    Key(psOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\1284PnP");
    Text(psOut, "Model 12", "BRENMOORMODEL_12");
    Key(psOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Legacy");
    Text(psOut, "Model 12", "1");
    Key(psOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\qvf\\C32");
    Text(psOut, "Installed", "1");
    Key(psOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVKR Printing System Config\\Model 12");
    Dword(psOut, "QVKREnableStatusServer", 1);
    Dword(psOut, "QVKRPPUITabs", 3);
}

// One class registration the way a whole-machine export has thousands of them.
void ClassEntry(std::string* psOut, const std::string& sRoot, unsigned int uIndex, bool fWide)
{
    std::string sKey = sRoot + "\\CLSID\\" + Guid(uIndex);
    Key(psOut, sKey);
    Text(psOut, "", Number("Generated Component Class %u", uIndex));
    Text(psOut, "AppID", Guid(uIndex + 7));
    Key(psOut, sKey + "\\InprocServer32");
    HexString(psOut, "", REG_EXPAND_SZ, Number("%%SystemRoot%%\\System32\\gencomp%u.dll", uIndex),
              fWide);
    Text(psOut, "ThreadingModel", (uIndex % 3) ? "Apartment" : "Both");
    Key(psOut, sKey + "\\ProgID");
    Text(psOut, "", Number("GenComp.Class.%u", uIndex));
    if (uIndex % 4 == 0)
    {
        Key(psOut, sKey + "\\Implemented Categories\\" + Guid(uIndex % 97));
    }
    if (uIndex % 5 == 0)
    {
        Key(psOut, sKey + "\\Settings");
        Dword(psOut, "Flags", uIndex);
        Binary(psOut, "Data", 24 + uIndex % 40, uIndex);
        HexString(psOut, "Paths", REG_MULTI_SZ, "C:\\Program Files\\Gen", fWide);
    }
}

void NtSystemKeys(std::string* psOut, bool fWide)
{
    Key(psOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
    Text(psOut, "CurrentBuildNumber", "2600");
    Text(psOut, "CurrentVersion", "5.1");
    Text(psOut, "CSDVersion", "Service Pack 3");
    HexString(psOut, "SystemRoot", REG_SZ, "C:\\WINDOWS", fWide);
    Key(psOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports");
    Text(psOut, "LPT1:", "");
    Text(psOut, "USB001", "");
    Text(psOut, "FILE:", "");
    const char* apszPrinters[][3] = {{"Model 12 USB", "Model 12", "USB001"},
                                     {"Office Laser", "Other Laser 5", "LPT1:"}};
    for (auto& printer : apszPrinters)
    {
        Key(psOut,
            std::string(
                "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\") +
                printer[0]);
        Dword(psOut, "Attributes", 0x240);
        Text(psOut, "Datatype", "RAW");
        Text(psOut, "Name", printer[0]);
        Text(psOut, "Port", printer[2]);
        Text(psOut, "Print Processor", "WinPrint");
        Text(psOut, "Printer Driver", printer[1]);
        Dword(psOut, "Priority", 1);
        Text(psOut, "Share Name", "");
    }
}

std::string XpText(size_t cbTarget, bool fWide)
{
    std::string sOut = fWide ? "Windows Registry Editor Version 5.00\n" : "REGEDIT4\n";
    DriverKeys(&sOut, true);
    NtSystemKeys(&sOut, fWide);
    // UTF-16 doubles every character.
    size_t cchTarget = fWide ? cbTarget / 2 : cbTarget;
    unsigned int uIndex = 0;
    while (sOut.size() < cchTarget)
    {
        ClassEntry(&sOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes", uIndex, fWide);
        if (uIndex % 50 == 0)
        {
            std::string sService = Number("HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\"
                                          "GenService%06u",
                                          uIndex);
            Key(&sOut, sService);
            Dword(&sOut, "Start", 3);
            Dword(&sOut, "Type", 1);
            HexString(&sOut, "ImagePath", REG_EXPAND_SZ, "system32\\drivers\\gen.sys", fWide);
            Key(&sOut, sService + "\\Enum");
            Text(&sOut, "0", Number("ROOT\\LEGACY_GEN\\%04u", uIndex));
        }
        ++uIndex;
    }
    return sOut;
}

} // namespace

std::string Win98Machine(size_t nKeys, size_t nMatches)
{
    std::string sOut = "REGEDIT4\n";
    Key(&sOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
    Text(&sOut, "VersionNumber", "4.10.2222");
    Text(&sOut, "SystemRoot", "C:\\WINDOWS");
    Key(&sOut, "HKEY_CURRENT_USER\\Software\\Wine");
    Text(&sOut, "Version", "win98");
    Key(&sOut, "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Model 12 "
               "USB");
    Text(&sOut, "Name", "Model 12 USB");
    Text(&sOut, "Printer Driver", "Model 12");
    Text(&sOut, "Port", "USB001");
    DriverKeys(&sOut, false);
    Key(&sOut, "HKEY_LOCAL_MACHINE\\ENUM\\PARENUM\\BRENMOORMODEL_12\\0000");
    Text(&sOut, "HardwareID", "PARENUM\\BRENMOORMODEL_12");

    // Each device is a key with one instance key below it; the driver's
    // instances sit under devices spread evenly through the tree, so every
    // search walks a good part of it.
    size_t nDevices = nKeys / 2;
    size_t nPlaced = 0;
    for (size_t iDevice = 0; iDevice < nDevices; ++iDevice)
    {
        std::string sDevice =
            "HKEY_LOCAL_MACHINE\\ENUM\\USBPRINT\\" + Number("VENDOR%06u_PRINTER", iDevice);
        bool fMatch = nPlaced < nMatches && iDevice == (nPlaced + 1) * nDevices / (nMatches + 1);
        Key(&sOut, sDevice + "\\0000");
        if (fMatch)
        {
            Text(&sOut, "HardwareID", Number("USBPRINT\\BRENMOORMODEL_12%04X", nPlaced));
            Text(&sOut, "Driver", Number("PRINTER\\%04u", 100 + nPlaced));
            Text(&sOut, "ClassGuid", "{4D36E979-E325-11CE-BFC1-08002BE10318}");
            ++nPlaced;
        }
        else
        {
            Text(&sOut, "HardwareID", Number("USBPRINT\\VENDOR%06u_PRINTER", iDevice));
            Text(&sOut, "Driver", Number("PRINTER\\%04u", 5000 + iDevice % 4000));
        }
        Text(&sOut, "DeviceDesc", "USB Printing Support");
        Binary(&sOut, "ConfigFlags", 4, static_cast<unsigned>(iDevice));
    }
    for (size_t i = 0; i < nMatches; ++i)
    {
        Key(&sOut, "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\PRINTER\\" +
                       Number("%04u", 100 + i));
        Text(&sOut, "DriverDesc", "Model 12");
    }
    // The rest of the machine.
    for (unsigned int u = 0; u < 2000; ++u)
        ClassEntry(&sOut, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes", u, false);
    return sOut;
}

std::string XpExportUtf16(size_t cbTarget)
{
    std::string sText = XpText(cbTarget, true);
    std::string sOut = "\xFF\xFE";
    sOut.reserve(sText.size() * 2 + sText.size() / 20 + 2);
    for (char ch : sText)
    {
        if (ch == '\n')
            sOut.append("\r\0\n\0", 4);
        else
        {
            sOut += ch;
            sOut += '\0';
        }
    }
    return sOut;
}

std::string XpRegedit4(size_t cbTarget)
{
    return XpText(cbTarget, false);
}

} // namespace bench
