// The run's registry changes as REGEDIT4: each change record the stand-in
// appended to registry.reg is applied to the registry as it was before the
// run, which tells what it replaced. A removed subtree is shown once, as the
// deletion of its top key, however many calls took it apart.
#include "preview.h"

#include <string_view>

namespace preview
{

using namespace winsim::detail;

namespace
{

struct Entry
{
    enum Kind
    {
        KeyRemoved,
        KeyCreated,
        ValueWritten,
        ValueRemoved
    } eKind = KeyCreated;
    std::string sKeyPath;
    size_t nSubkeys = 0;
    size_t nValues = 0;
    std::string sName;
    bool fHadOld = false;
    DWORD dwOldType = REG_NONE;
    std::string sOldBytes;
    DWORD dwNewType = REG_NONE;
    std::string sNewBytes;
};

std::string JoinPath(int iRoot, const std::vector<std::string>& vsPath)
{
    std::string sPath = RootName(iRoot);
    for (const std::string& sPart : vsPath)
        sPath += "\\" + sPart;
    return sPath;
}

bool IsBelow(const std::string& sPath, const std::string& sTop)
{
    return sPath.size() > sTop.size() + 1 && sPath[sTop.size()] == '\\' &&
           EqualNoCase(std::string_view(sPath).substr(0, sTop.size()), sTop);
}

std::string Plural(size_t n, const char* pszOne, const char* pszMany)
{
    return std::to_string(n) + " " + (n == 1 ? pszOne : pszMany);
}

std::string ValueText(std::string_view svName, DWORD dwType, std::string_view svBytes)
{
    std::string sLine;
    FormatValueLine(svName, dwType, svBytes, &sLine);
    if (!sLine.empty() && sLine.back() == '\n')
        sLine.pop_back();
    // A wrapped hex list stays one comment: its later lines get the mark too.
    std::string sComment;
    for (char ch : sLine)
    {
        sComment += ch;
        if (ch == '\n')
            sComment += ";   ";
    }
    return sComment;
}

void Format(const std::vector<Entry>& vEntries, ChangeList* pChanges)
{
    std::string& sOut = pChanges->sText;
    sOut = "REGEDIT4\n";
    std::string sOpenKey;
    for (const Entry& entry : vEntries)
    {
        switch (entry.eKind)
        {
        case Entry::KeyRemoved:
            sOut += "\n[-" + entry.sKeyPath + "]\n";
            sOut += "; with it went " + Plural(entry.nSubkeys, "subkey", "subkeys") + " and " +
                    Plural(entry.nValues, "value", "values") + "\n";
            sOpenKey.clear();
            ++pChanges->nKeysRemoved;
            break;
        case Entry::KeyCreated:
            sOut += "\n[" + entry.sKeyPath + "]\n; a new key\n";
            sOpenKey = entry.sKeyPath;
            ++pChanges->nKeysCreated;
            break;
        case Entry::ValueWritten:
        case Entry::ValueRemoved:
            if (!EqualNoCase(sOpenKey, entry.sKeyPath))
            {
                sOut += "\n[" + entry.sKeyPath + "]\n";
                sOpenKey = entry.sKeyPath;
            }
            if (entry.fHadOld)
                sOut += "; was: " + ValueText(entry.sName, entry.dwOldType, entry.sOldBytes) + "\n";
            else
                sOut += "; was: (no such value)\n";
            if (entry.eKind == Entry::ValueWritten)
            {
                FormatValueLine(entry.sName, entry.dwNewType, entry.sNewBytes, &sOut);
                ++pChanges->nValuesWritten;
            }
            else
            {
                sOut +=
                    (entry.sName.empty() ? std::string("@") : "\"" + entry.sName + "\"") + "=-\n";
                ++pChanges->nValuesRemoved;
            }
            break;
        }
    }
}

} // namespace

bool ApplyRunRecords(const std::string& sRecords, Registry& registry, ChangeList* pChanges,
                     std::string* psError)
{
    RegEditSink sink;
    RegTextReader reader("the run's change records", RegTextRegedit4, &sink);
    static const char s_szHeader[] = "REGEDIT4\n";
    if (!reader.Feed(s_szHeader, sizeof s_szHeader - 1) ||
        !reader.Feed(sRecords.data(), sRecords.size()) || !reader.Finish())
    {
        *psError = reader.Error();
        return false;
    }
    std::vector<Entry> vEntries;
    for (const RegEdit& edit : sink.vEdits)
    {
        std::string sPath = JoinPath(edit.iRoot, edit.vsPath);
        std::shared_ptr<RegKey> pKey = FindSubkey(registry.apRoots[edit.iRoot], edit.vsPath);
        Entry entry;
        entry.sKeyPath = sPath;
        pChanges->vsKeys.push_back(sPath);
        switch (edit.eKind)
        {
        case RegEdit::DeleteKey:
        {
            if (!pKey || !pKey->pParent)
                continue;
            entry.eKind = Entry::KeyRemoved;
            entry.nValues = pKey->vValues.size();
            CountSubtree(*pKey, &entry.nSubkeys, &entry.nValues);
            // Keys of this subtree removed one by one before (NT takes a
            // subtree apart from the bottom) are part of this removal.
            std::vector<Entry> vKept;
            for (Entry& earlier : vEntries)
            {
                if (earlier.eKind == Entry::KeyRemoved && IsBelow(earlier.sKeyPath, sPath))
                {
                    entry.nSubkeys += 1 + earlier.nSubkeys;
                    entry.nValues += earlier.nValues;
                }
                else
                    vKept.push_back(std::move(earlier));
            }
            vEntries.swap(vKept);
            RemoveSubkey(*pKey->pParent, pKey->sName);
            break;
        }
        case RegEdit::CreateKey:
        {
            if (pKey)
                continue;
            entry.eKind = Entry::KeyCreated;
            CreateSubkey(registry.apRoots[edit.iRoot], edit.vsPath, nullptr);
            break;
        }
        case RegEdit::SetValue:
        case RegEdit::DeleteValue:
        {
            const RegValue* pOld = pKey ? FindValue(*pKey, edit.sValueName) : nullptr;
            if (!pOld && edit.eKind == RegEdit::DeleteValue)
                continue;
            entry.eKind =
                edit.eKind == RegEdit::SetValue ? Entry::ValueWritten : Entry::ValueRemoved;
            entry.sName = pOld ? std::string(pOld->Name()) : edit.sValueName;
            if (pOld)
            {
                entry.fHadOld = true;
                entry.dwOldType = pOld->dwType;
                entry.sOldBytes = std::string(pOld->Bytes());
            }
            entry.dwNewType = edit.dwType;
            entry.sNewBytes = edit.sBytes;
            if (edit.eKind == RegEdit::SetValue)
            {
                if (!pKey)
                {
                    Entry created;
                    created.eKind = Entry::KeyCreated;
                    created.sKeyPath = sPath;
                    vEntries.push_back(created);
                    pKey = CreateSubkey(registry.apRoots[edit.iRoot], edit.vsPath, nullptr);
                }
                SetValueBytes(*pKey, edit.sValueName, edit.dwType, edit.sBytes);
            }
            else
                DeleteValue(*pKey, edit.sValueName);
            break;
        }
        }
        vEntries.push_back(std::move(entry));
    }
    Format(vEntries, pChanges);
    return true;
}

} // namespace preview
