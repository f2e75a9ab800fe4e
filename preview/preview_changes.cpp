// The run's registry changes as REGEDIT4: each change record the stand-in
// appended to registry.reg is applied to the registry as it was before the
// run, which tells what it replaced. What is listed is the net effect against
// the machine as it was: every key the run made, parents included; a removed
// subtree once, as the deletion of its top key, however many calls took it
// apart, counted as it was before the run; a value written twice once; and
// nothing for what the run made and removed again.
#include "preview.h"

#include <string_view>

namespace preview
{

using namespace winsim::detail;

namespace
{

using Entry = RegistryChange;

std::string JoinPath(int iRoot, const std::vector<std::string>& vsPath, size_t nParts)
{
    std::string sPath = RootName(iRoot);
    for (size_t i = 0; i < nParts; ++i)
        sPath += "\\" + vsPath[i];
    return sPath;
}

bool IsBelow(const std::string& sPath, const std::string& sTop)
{
    return sPath.size() > sTop.size() + 1 && sPath[sTop.size()] == '\\' &&
           EqualNoCase(std::string_view(sPath).substr(0, sTop.size()), sTop);
}

bool AtOrBelow(const std::string& sPath, const std::string& sTop)
{
    return EqualNoCase(sPath, sTop) || IsBelow(sPath, sTop);
}

bool IsValueEntry(const Entry& entry)
{
    return entry.eKind == Entry::ValueWritten || entry.eKind == Entry::ValueRemoved;
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

class ChangeBuilder
{
public:
    explicit ChangeBuilder(Registry& registry) : m_registry(registry) {}

    void Apply(const RegEdit& edit)
    {
        switch (edit.eKind)
        {
        case RegEdit::DeleteKey:
            DeleteKey(edit);
            break;
        case RegEdit::CreateKey:
            CreateKey(edit);
            break;
        case RegEdit::SetValue:
        case RegEdit::DeleteValue:
            ChangeValue(edit);
            break;
        }
    }

    void Format(ChangeList* pChanges) const;

private:
    // Lists each key along the path that does not exist yet, top first, and
    // makes them.
    std::shared_ptr<RegKey> CreatePath(const RegEdit& edit)
    {
        std::shared_ptr<RegKey> pKey = m_registry.apRoots[edit.iRoot];
        for (size_t i = 0; i < edit.vsPath.size(); ++i)
        {
            const std::shared_ptr<RegKey>* ppChild = FindChild(*pKey, edit.vsPath[i]);
            if (ppChild)
            {
                pKey = *ppChild;
                continue;
            }
            Entry created;
            created.eKind = Entry::KeyCreated;
            created.sKeyPath = JoinPath(edit.iRoot, edit.vsPath, i + 1);
            m_vEntries.push_back(created);
            bool fCreated = false;
            pKey = ChildFor(*pKey, edit.vsPath[i], &fCreated, CurrentFileTime());
        }
        return pKey;
    }

    void CreateKey(const RegEdit& edit) { CreatePath(edit); }

    bool WasCreated(const std::string& sPath) const
    {
        for (const Entry& entry : m_vEntries)
            if (entry.eKind == Entry::KeyCreated && EqualNoCase(entry.sKeyPath, sPath))
                return true;
        return false;
    }

    void DeleteKey(const RegEdit& edit)
    {
        std::shared_ptr<RegKey> pKey = FindSubkey(m_registry.apRoots[edit.iRoot], edit.vsPath);
        if (!pKey || !pKey->pParent)
            return;
        std::string sPath = JoinPath(edit.iRoot, edit.vsPath, edit.vsPath.size());
        Entry removed;
        removed.eKind = Entry::KeyRemoved;
        removed.sKeyPath = sPath;
        removed.nValues = pKey->vValues.size();
        CountSubtree(*pKey, &removed.nSubkeys, &removed.nValues);
        // What the subtree held before the run: less what the run added to
        // it, plus what the run already took from it (NT takes a subtree
        // apart from the bottom, one call a key).
        bool fMadeByRun = WasCreated(sPath);
        std::vector<Entry> vKept;
        for (Entry& earlier : m_vEntries)
        {
            // Keys the machine had before the run and lost before the key
            // was made again stay listed as removed.
            if (!AtOrBelow(earlier.sKeyPath, sPath) ||
                (fMadeByRun && earlier.eKind == Entry::KeyRemoved))
            {
                vKept.push_back(std::move(earlier));
                continue;
            }
            if (earlier.eKind == Entry::KeyCreated && !EqualNoCase(earlier.sKeyPath, sPath))
                --removed.nSubkeys;
            else if (earlier.eKind == Entry::KeyRemoved)
            {
                removed.nSubkeys += 1 + earlier.nSubkeys;
                removed.nValues += earlier.nValues;
            }
            else if (earlier.eKind == Entry::ValueWritten && !earlier.fHadOld)
                --removed.nValues;
            else if (earlier.eKind == Entry::ValueRemoved && earlier.fHadOld)
                ++removed.nValues;
        }
        m_vEntries.swap(vKept);
        RemoveSubkey(*pKey->pParent, *pKey);
        if (!fMadeByRun)
            m_vEntries.push_back(std::move(removed));
    }

    void ChangeValue(const RegEdit& edit)
    {
        std::shared_ptr<RegKey> pKey = FindSubkey(m_registry.apRoots[edit.iRoot], edit.vsPath);
        const RegValue* pNow = pKey ? FindValue(*pKey, edit.sValueName) : nullptr;
        if (!pNow && edit.eKind == RegEdit::DeleteValue)
            return;
        std::string sPath = JoinPath(edit.iRoot, edit.vsPath, edit.vsPath.size());
        Entry entry;
        entry.eKind = edit.eKind == RegEdit::SetValue ? Entry::ValueWritten : Entry::ValueRemoved;
        entry.sKeyPath = sPath;
        entry.sName = pNow ? std::string(pNow->Name()) : edit.sValueName;
        entry.dwNewType = edit.dwType;
        entry.sNewBytes = edit.sBytes;
        // A value the run changed before keeps its place and what it was
        // before the run.
        size_t iEarlier = m_vEntries.size();
        for (size_t i = 0; i < m_vEntries.size(); ++i)
            if (IsValueEntry(m_vEntries[i]) && EqualNoCase(m_vEntries[i].sKeyPath, sPath) &&
                EqualNoCase(m_vEntries[i].sName, edit.sValueName))
                iEarlier = i;
        if (iEarlier < m_vEntries.size())
        {
            const Entry& earlier = m_vEntries[iEarlier];
            entry.sName = earlier.sName;
            entry.fHadOld = earlier.fHadOld;
            entry.dwOldType = earlier.dwOldType;
            entry.sOldBytes = earlier.sOldBytes;
        }
        else if (pNow)
        {
            entry.fHadOld = true;
            entry.dwOldType = pNow->dwType;
            entry.sOldBytes = std::string(pNow->Bytes());
        }
        if (edit.eKind == RegEdit::SetValue)
        {
            if (!pKey)
                pKey = CreatePath(edit);
            SetValueBytes(*pKey, edit.sValueName, edit.dwType, edit.sBytes);
        }
        else
            DeleteValue(*pKey, edit.sValueName);
        bool fNoChange = entry.eKind == Entry::ValueRemoved && !entry.fHadOld;
        if (iEarlier < m_vEntries.size())
        {
            if (fNoChange)
                m_vEntries.erase(m_vEntries.begin() + static_cast<std::ptrdiff_t>(iEarlier));
            else
                m_vEntries[iEarlier] = std::move(entry);
        }
        else if (!fNoChange)
            m_vEntries.push_back(std::move(entry));
    }

    Registry& m_registry;
    std::vector<Entry> m_vEntries;
};

void ChangeBuilder::Format(ChangeList* pChanges) const
{
    pChanges->vEntries = m_vEntries;
    std::string& sOut = pChanges->sText;
    sOut = "REGEDIT4\n";
    std::string sOpenKey;
    for (const Entry& entry : m_vEntries)
    {
        switch (entry.eKind)
        {
        case Entry::KeyRemoved:
            sOut += "\n[-" + entry.sKeyPath + "]\n";
            sOut += "; with it went " + Plural(entry.nSubkeys, "subkey", "subkeys") + " and " +
                    Plural(entry.nValues, "value", "values") + "\n";
            sOpenKey.clear();
            ++pChanges->nKeysRemoved;
            pChanges->nSubkeysRemoved += entry.nSubkeys;
            pChanges->nValuesRemovedWithKeys += entry.nValues;
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
            if (entry.eKind == Entry::ValueRemoved)
            {
                sOut +=
                    (entry.sName.empty() ? std::string("@") : "\"" + entry.sName + "\"") + "=-\n";
                ++pChanges->nValuesRemoved;
                break;
            }
            FormatValueLine(entry.sName, entry.dwNewType, entry.sNewBytes, &sOut);
            ++pChanges->nValuesWritten;
            if (!entry.fHadOld)
                ++pChanges->nValuesNew;
            else if (entry.dwOldType == entry.dwNewType && entry.sOldBytes == entry.sNewBytes)
                ++pChanges->nValuesUnchanged;
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
    ChangeBuilder builder(registry);
    for (const RegEdit& edit : sink.vEdits)
    {
        pChanges->vsKeys.push_back(JoinPath(edit.iRoot, edit.vsPath, edit.vsPath.size()));
        builder.Apply(edit);
    }
    builder.Format(pChanges);
    return true;
}

std::string ChangeSummary(const ChangeList& changes)
{
    size_t nChanged = changes.nValuesWritten - changes.nValuesNew - changes.nValuesUnchanged;
    return "; keys: " + std::to_string(changes.nKeysRemoved) + " removed (" +
           std::to_string(changes.nKeysRemoved + changes.nSubkeysRemoved) +
           " with their subkeys), " + std::to_string(changes.nKeysCreated) +
           " created\n; values: " + std::to_string(changes.nValuesWritten) + " written (" +
           std::to_string(changes.nValuesNew) + " new, " + std::to_string(nChanged) + " changed, " +
           std::to_string(changes.nValuesUnchanged) + " the same as before), " +
           std::to_string(changes.nValuesRemoved) + " removed, " +
           std::to_string(changes.nValuesRemovedWithKeys) + " removed with their keys\n";
}

} // namespace preview
