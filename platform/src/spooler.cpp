// The print spooler's two enumerations, read from the machine's registry where
// Wine's spooler keeps the same lists. Both follow Windows' two-call contract:
// ask for the size, then fetch records with their strings packed after them.
#include "fault_gate.h"
#include "machine.h"

#include <winsim/registry_tree.h>

#include <winsim.h>
#include <winspool.h>

#include <cstdio>
#include <cstring>
#include <string_view>

using winsim::detail::Fails;

namespace
{

using winsim::detail::RegKey;

const char kPortsKey[] =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
const char kPrintersKey[] =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers";

BOOL FailWith(DWORD dwError)
{
    winsim::detail::SetLastErrorValue(dwError);
    return FALSE;
}

// A string field of a record: absent fields stay null pointers.
struct Field
{
    bool fPresent = false;
    std::string sText;
};

Field Text(const std::string& sText)
{
    return Field{true, sText};
}

Field StringValue(const RegKey& key, const char* pszName)
{
    const winsim::detail::RegValue* pValue = winsim::detail::FindValue(key, pszName);
    if (!pValue || (pValue->dwType != REG_SZ && pValue->dwType != REG_EXPAND_SZ))
        return Field();
    std::string_view svBytes = pValue->Bytes();
    return Text(std::string(svBytes.substr(0, svBytes.find('\0'))));
}

DWORD DwordValue(const RegKey& key, const char* pszName)
{
    const winsim::detail::RegValue* pValue = winsim::detail::FindValue(key, pszName);
    if (!pValue || pValue->dwType != REG_DWORD || pValue->Bytes().size() < 4)
        return 0;
    DWORD dwValue = 0;
    memcpy(&dwValue, pValue->Bytes().data(), 4);
    return dwValue;
}

// Lays out records of cbRecord bytes at the start of the buffer and the
// strings right after the last record.
class Packer
{
public:
    Packer(size_t nRecords, size_t cbRecord, const std::vector<std::vector<Field>>& vvFields)
        : m_cbFixed(nRecords * cbRecord)
    {
        m_cbNeeded = m_cbFixed;
        for (const auto& vFields : vvFields)
            for (const Field& field : vFields)
                if (field.fPresent)
                    m_cbNeeded += field.sText.size() + 1;
    }

    size_t Needed() const { return m_cbNeeded; }

    void Start(LPBYTE pbBuffer)
    {
        m_pbBuffer = pbBuffer;
        m_cbUsed = m_cbFixed;
    }

    LPSTR Add(const Field& field)
    {
        if (!field.fPresent)
            return nullptr;
        LPSTR psz = reinterpret_cast<LPSTR>(m_pbBuffer + m_cbUsed);
        memcpy(psz, field.sText.c_str(), field.sText.size() + 1);
        m_cbUsed += field.sText.size() + 1;
        return psz;
    }

private:
    size_t m_cbFixed;
    size_t m_cbNeeded = 0;
    LPBYTE m_pbBuffer = nullptr;
    size_t m_cbUsed = 0;
};

// The shared part of the two-call contract. Returns true when the caller may
// fill the buffer.
bool BufferFits(size_t cbNeeded, LPBYTE pbBuffer, DWORD cbBuf, LPDWORD pcbNeeded,
                LPDWORD pcReturned, BOOL* pfResult)
{
    *pcbNeeded = static_cast<DWORD>(cbNeeded);
    *pcReturned = 0;
    if (cbNeeded == 0)
    {
        *pfResult = TRUE;
        return false;
    }
    if (cbBuf < cbNeeded)
    {
        *pfResult = FailWith(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    if (!pbBuffer)
    {
        *pfResult = FailWith(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    return true;
}

bool IsLocalServer(LPCSTR pszName)
{
    return !pszName || !*pszName;
}

std::vector<std::string> MachinePorts()
{
    std::shared_ptr<RegKey> pPorts = winsim::detail::FindKeyByPath(kPortsKey);
    if (!pPorts)
        return {"COM1:", "FILE:", "LPT1:"};
    std::vector<std::string> vsPorts;
    for (const auto& value : pPorts->vValues)
        if (!value.Name().empty())
            vsPorts.push_back(std::string(value.Name()));
    return vsPorts;
}

} // namespace

namespace winsim
{
namespace detail
{

// An export made from the hives of a machine that is not running has no
// CurrentControlSet, only the numbered control sets; SYSTEM\Select "Current"
// tells which one is in use, as the system does at boot.
std::shared_ptr<RegKey> FindPrintersKey(const Registry& registry, std::string* psPath)
{
    std::string sPath = kPrintersKey;
    std::shared_ptr<RegKey> pPrinters = FindKeyByPath(registry, sPath);
    std::shared_ptr<RegKey> pSelect = FindKeyByPath(registry, "HKEY_LOCAL_MACHINE\\System\\Select");
    if (!pPrinters && pSelect &&
        !FindKeyByPath(registry, "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet"))
    {
        DWORD dwCurrent = DwordValue(*pSelect, "Current");
        if (dwCurrent == 0 || dwCurrent > 999)
            return nullptr;
        char szKey[96];
        snprintf(szKey, sizeof szKey,
                 "HKEY_LOCAL_MACHINE\\System\\ControlSet%03u\\Control\\Print\\Printers",
                 static_cast<unsigned>(dwCurrent));
        sPath = szKey;
        pPrinters = FindKeyByPath(registry, sPath);
    }
    if (pPrinters && psPath)
        *psPath = sPath;
    return pPrinters;
}

} // namespace detail
} // namespace winsim

BOOL EnumPortsA(LPSTR pName, DWORD Level, LPBYTE pPort, DWORD cbBuf, LPDWORD pcbNeeded,
                LPDWORD pcReturned)
{
    if (Fails("EnumPortsA"))
        return FALSE;
    if (!pcbNeeded || !pcReturned)
        return FailWith(RPC_X_NULL_REF_POINTER);
    if (!IsLocalServer(pName))
        return FailWith(ERROR_INVALID_NAME);
    if (Level != 1 && Level != 2)
        return FailWith(ERROR_INVALID_LEVEL);

    std::vector<std::string> vsPorts = MachinePorts();
    std::vector<std::vector<Field>> vvFields;
    for (const std::string& sPort : vsPorts)
    {
        if (Level == 1)
            vvFields.push_back({Text(sPort)});
        else
            vvFields.push_back({Text(sPort), Text("Local Monitor"), Text("Local Port")});
    }
    size_t cbRecord = Level == 1 ? sizeof(PORT_INFO_1A) : sizeof(PORT_INFO_2A);
    Packer packer(vsPorts.size(), cbRecord, vvFields);
    BOOL fResult = FALSE;
    if (!BufferFits(packer.Needed(), pPort, cbBuf, pcbNeeded, pcReturned, &fResult))
        return fResult;
    packer.Start(pPort);
    for (size_t i = 0; i < vvFields.size(); ++i)
    {
        const std::vector<Field>& vFields = vvFields[i];
        if (Level == 1)
        {
            PORT_INFO_1A* pInfo = reinterpret_cast<PORT_INFO_1A*>(pPort) + i;
            pInfo->pName = packer.Add(vFields[0]);
            continue;
        }
        PORT_INFO_2A* pInfo = reinterpret_cast<PORT_INFO_2A*>(pPort) + i;
        pInfo->pPortName = packer.Add(vFields[0]);
        pInfo->pMonitorName = packer.Add(vFields[1]);
        pInfo->pDescription = packer.Add(vFields[2]);
        pInfo->fPortType = PORT_TYPE_WRITE;
        pInfo->Reserved = 0;
    }
    *pcReturned = static_cast<DWORD>(vsPorts.size());
    return TRUE;
}

BOOL EnumPrintersA(DWORD Flags, LPSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                   LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    if (Fails("EnumPrintersA"))
        return FALSE;
    if (!pcbNeeded || !pcReturned)
        return FailWith(RPC_X_NULL_REF_POINTER);
    if (Flags == 0)
        return FailWith(ERROR_INVALID_FLAGS);
    if (Level != 2)
        return FailWith(ERROR_INVALID_LEVEL);
    if (!IsLocalServer(Name))
        return FailWith(ERROR_INVALID_NAME);

    // Only local printers exist on this machine.
    std::vector<std::shared_ptr<RegKey>> vpPrinters;
    winsim::detail::MachineVersion(); // puts the printers in the family's order
    std::shared_ptr<RegKey> pPrinters =
        winsim::detail::FindPrintersKey(winsim::detail::CurrentMachine().registry);
    if (pPrinters && (Flags & PRINTER_ENUM_LOCAL))
        for (const auto& pPrinter : pPrinters->vpSubkeys)
            vpPrinters.push_back(pPrinter);

    // Field order: printer, share, port, driver, comment, location, separator
    // file, print processor, data type, parameters.
    std::vector<std::vector<Field>> vvFields;
    for (const auto& pPrinter : vpPrinters)
    {
        Field name = StringValue(*pPrinter, "Name");
        if (!name.fPresent || name.sText.empty())
            name = Text(pPrinter->sName);
        vvFields.push_back(
            {name, StringValue(*pPrinter, "Share Name"), StringValue(*pPrinter, "Port"),
             StringValue(*pPrinter, "Printer Driver"), StringValue(*pPrinter, "Description"),
             StringValue(*pPrinter, "Location"), StringValue(*pPrinter, "Separator File"),
             StringValue(*pPrinter, "Print Processor"), StringValue(*pPrinter, "Datatype"),
             StringValue(*pPrinter, "Parameters")});
    }
    Packer packer(vpPrinters.size(), sizeof(PRINTER_INFO_2A), vvFields);
    BOOL fResult = FALSE;
    if (!BufferFits(packer.Needed(), pPrinterEnum, cbBuf, pcbNeeded, pcReturned, &fResult))
        return fResult;
    packer.Start(pPrinterEnum);
    for (size_t i = 0; i < vpPrinters.size(); ++i)
    {
        const std::vector<Field>& vFields = vvFields[i];
        const RegKey& printer = *vpPrinters[i];
        PRINTER_INFO_2A* pInfo = reinterpret_cast<PRINTER_INFO_2A*>(pPrinterEnum) + i;
        memset(pInfo, 0, sizeof *pInfo);
        pInfo->pPrinterName = packer.Add(vFields[0]);
        pInfo->pShareName = packer.Add(vFields[1]);
        pInfo->pPortName = packer.Add(vFields[2]);
        pInfo->pDriverName = packer.Add(vFields[3]);
        pInfo->pComment = packer.Add(vFields[4]);
        pInfo->pLocation = packer.Add(vFields[5]);
        pInfo->pSepFile = packer.Add(vFields[6]);
        pInfo->pPrintProcessor = packer.Add(vFields[7]);
        pInfo->pDatatype = packer.Add(vFields[8]);
        pInfo->pParameters = packer.Add(vFields[9]);
        pInfo->Attributes = DwordValue(printer, "Attributes");
        pInfo->Priority = DwordValue(printer, "Priority");
        pInfo->DefaultPriority = DwordValue(printer, "Default Priority");
        pInfo->StartTime = DwordValue(printer, "StartTime");
        pInfo->UntilTime = DwordValue(printer, "UntilTime");
    }
    *pcReturned = static_cast<DWORD>(vpPrinters.size());
    return TRUE;
}
