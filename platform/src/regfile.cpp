// Registry text: the sinks that apply what the reader hands on, and the
// REGEDIT4 writer that saves the registry. Loading into a fresh registry (or
// reading once to check, then again to apply) keeps a bad file from leaving a
// half-loaded registry.
#include "machine.h"

#include <winsim/registry_tree.h>
#include <winsim/regtext_read.h>
#include <winsim/regtext_write.h>

#include <winsim.h>

#include <cstdio>

// The stand-in's own files are host files: the real fopen, not the runtime's
// stand-in that windows.h puts in its place (it maps paths and counts calls).
#undef fopen

namespace winsim
{
namespace detail
{

namespace
{

const char kHeader4[] = "REGEDIT4";

} // namespace
// ---------------------------------------------------------------------------
// Sinks

RegTreeSink::RegTreeSink(Registry& registry) : m_registry(registry), m_ftNow(CurrentFileTime()) {}

void RegTreeSink::Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete)
{
    std::vector<std::string> vsOriginals;
    vsOriginals.swap(m_vsOriginals);
    auto Original = [&vsOriginals](size_t i)
    { return i < vsOriginals.size() ? std::string_view(vsOriginals[i]) : std::string_view(); };
    RegKey* pRoot = m_registry.apRoots[iRoot].get();
    if (fDelete)
    {
        m_vpPath.clear();
        m_pKey = nullptr;
        RegKey* pKey = pRoot;
        for (size_t i = 0; i < vsvPath.size(); ++i)
        {
            const std::shared_ptr<RegKey>* ppChild = FindChild(*pKey, vsvPath[i], Original(i));
            if (!ppChild)
                return;
            pKey = ppChild->get();
        }
        RemoveSubkey(*pKey->pParent, *pKey);
        return;
    }
    // Exports list keys depth first: the last key line's keys are mostly the
    // start of this one.
    size_t nKept = 0;
    if (!m_vpPath.empty() && m_vpPath[0] == pRoot)
    {
        nKept = 1;
        // The same key, in the order's own terms; names of ANSI bytes alone
        // (one unit each on NT) differ at once when their lengths do.
        auto Same = [&](size_t i)
        {
            const RegKey& child = *m_vpPath[i + 1];
            if (!child.fHasOriginal && Original(i).empty())
            {
                if (child.sName.size() != vsvPath[i].size())
                    return false;
                // Mostly the very spelling of the line before.
                if (child.sName == vsvPath[i])
                    return true;
            }
            return CompareSubkeyName(*m_vpPath[i], child, vsvPath[i], Original(i)) == 0;
        };
        while (nKept < m_vpPath.size() && nKept - 1 < vsvPath.size() && Same(nKept - 1))
            ++nKept;
    }
    if (nKept == 0)
    {
        m_vpPath.clear();
        m_vpPath.push_back(pRoot);
        nKept = 1;
    }
    m_vpPath.resize(nKept);
    RegKey* pKey = m_vpPath.back();
    for (size_t i = nKept - 1; i < vsvPath.size(); ++i)
    {
        bool fCreated = false;
        pKey = ChildFor(*pKey, vsvPath[i], &fCreated, m_ftNow, Original(i)).get();
        m_vpPath.push_back(pKey);
    }
    m_pKey = pKey;
}

void RegTreeSink::KeyOriginals(const std::vector<std::string>& vsOriginals)
{
    m_vsOriginals = vsOriginals;
}

void RegTreeSink::Value(std::string_view svName, DWORD dwType, std::string_view svBytes)
{
    SetValueBytes(*m_pKey, svName, dwType, svBytes);
}

void RegTreeSink::RemoveValue(std::string_view svName)
{
    DeleteValue(*m_pKey, svName);
}

void RegEditSink::Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete)
{
    m_iRoot = iRoot;
    m_vsPath.assign(vsvPath.begin(), vsvPath.end());
    if (!m_fOriginalsForKey)
        m_vsOriginals.clear();
    m_fOriginalsForKey = false;
    RegEdit edit;
    edit.eKind = fDelete ? RegEdit::DeleteKey : RegEdit::CreateKey;
    edit.iRoot = iRoot;
    edit.vsPath = m_vsPath;
    edit.vsOriginals = m_vsOriginals;
    vEdits.push_back(std::move(edit));
}

void RegEditSink::KeyOriginals(const std::vector<std::string>& vsOriginals)
{
    m_vsOriginals = vsOriginals;
    m_fOriginalsForKey = true;
}

void RegEditSink::Value(std::string_view svName, DWORD dwType, std::string_view svBytes)
{
    RegEdit edit;
    edit.eKind = RegEdit::SetValue;
    edit.iRoot = m_iRoot;
    edit.vsPath = m_vsPath;
    edit.vsOriginals = m_vsOriginals;
    edit.sValueName = std::string(svName);
    edit.dwType = dwType;
    edit.sBytes = std::string(svBytes);
    vEdits.push_back(std::move(edit));
}

void RegEditSink::RemoveValue(std::string_view svName)
{
    RegEdit edit;
    edit.eKind = RegEdit::DeleteValue;
    edit.iRoot = m_iRoot;
    edit.vsPath = m_vsPath;
    edit.vsOriginals = m_vsOriginals;
    edit.sValueName = std::string(svName);
    vEdits.push_back(std::move(edit));
}

// ---------------------------------------------------------------------------
// The writer

namespace
{

void AppendQuoted(std::string_view svText, std::string* psOut)
{
    psOut->push_back('"');
    for (char ch : svText)
    {
        if (ch == '\\' || ch == '"')
            psOut->push_back('\\');
        psOut->push_back(ch);
    }
    psOut->push_back('"');
}

// A REG_SZ is written as a quoted string only when that reads back to the
// very same bytes: text without NULs or line breaks, then exactly one NUL.
bool IsPlainText(std::string_view svBytes)
{
    if (svBytes.empty() || svBytes.back() != '\0')
        return false;
    for (size_t i = 0; i + 1 < svBytes.size(); ++i)
    {
        char ch = svBytes[i];
        if (ch == '\0' || ch == '\n' || ch == '\r')
            return false;
    }
    return true;
}

// Writes the text out in blocks when a sink is given, so that saving a large
// registry needs no second copy of it in memory.
struct TextOut
{
    std::string sText;
    FILE* pFile = nullptr;
    bool fOk = true;

    void Flush(size_t cbAtLeast)
    {
        if (!pFile || sText.size() < cbAtLeast)
            return;
        fOk = fOk && fwrite(sText.data(), 1, sText.size(), pFile) == sText.size();
        sText.clear();
    }
};

// Before the key line of a key with a name stored in Unicode on its path:
// that path, those names as the machine stores them (the reader pairs them
// with the key line's names).
void OriginalsLine(const RegKey& key, std::string* psOut)
{
    std::vector<std::string_view> vsvParts;
    for (const RegKey* pKey = &key; pKey; pKey = pKey->pParent)
    {
        std::string_view svOriginal = OriginalName(*pKey);
        vsvParts.push_back(svOriginal.empty() ? std::string_view(pKey->sName) : svOriginal);
    }
    *psOut += kKeyOriginals;
    for (auto it = vsvParts.rbegin(); it != vsvParts.rend(); ++it)
    {
        if (it != vsvParts.rbegin())
            *psOut += '\\';
        *psOut += *it;
    }
    *psOut += '\n';
}

// fOriginalAbove: a key above has a name stored in Unicode.
void FormatKey(const RegKey& key, std::string* psPath, bool fRoot, bool fOriginalAbove,
               TextOut* pOut)
{
    const bool fOriginal = fOriginalAbove || key.fHasOriginal;
    std::string* psOut = &pOut->sText;
    if (!fRoot || !key.vValues.empty())
    {
        *psOut += "\n";
        if (fOriginal)
            OriginalsLine(key, psOut);
        *psOut += "[";
        *psOut += *psPath;
        *psOut += "]\n";
        for (const RegValue& value : key.vValues)
            FormatValueLine(value.Name(), value.dwType, value.Bytes(), psOut);
        pOut->Flush(1 << 20);
    }
    size_t cchPath = psPath->size();
    for (const auto& pChild : key.vpSubkeys)
    {
        psPath->push_back('\\');
        *psPath += pChild->sName;
        FormatKey(*pChild, psPath, false, fOriginal, pOut);
        psPath->resize(cchPath);
    }
}

void FormatRegistry(const Registry& registry, TextOut* pOut)
{
    pOut->sText += std::string(kHeader4) + "\n";
    const int aiOrder[] = {RootLocalMachine, RootCurrentUser,   RootClassesRoot,
                           RootUsers,        RootCurrentConfig, RootDynData};
    std::string sPath;
    for (int iRoot : aiOrder)
    {
        sPath = RootName(iRoot);
        FormatKey(*registry.apRoots[iRoot], &sPath, true, false, pOut);
    }
    pOut->Flush(0);
}

} // namespace

void FormatValueLine(std::string_view svName, DWORD dwType, std::string_view svBytes,
                     std::string* psOut)
{
    static const char s_achHex[] = "0123456789abcdef";
    size_t cchStart = psOut->size();
    if (svName.empty())
        psOut->push_back('@');
    else
        AppendQuoted(svName, psOut);
    psOut->push_back('=');
    if (dwType == REG_SZ && IsPlainText(svBytes))
    {
        AppendQuoted(svBytes.substr(0, svBytes.size() - 1), psOut);
        psOut->push_back('\n');
        return;
    }
    char szBuffer[32];
    if (dwType == REG_DWORD && svBytes.size() == 4)
    {
        DWORD dwValue = 0;
        for (int i = 3; i >= 0; --i)
            dwValue = (dwValue << 8) | static_cast<unsigned char>(svBytes[i]);
        snprintf(szBuffer, sizeof szBuffer, "dword:%08x\n", dwValue);
        *psOut += szBuffer;
        return;
    }
    if (dwType == REG_BINARY)
        *psOut += "hex:";
    else
    {
        snprintf(szBuffer, sizeof szBuffer, "hex(%x):", dwType);
        *psOut += szBuffer;
    }
    // Long byte lists are wrapped as regedit does, keeping lines under 80 columns.
    size_t cchLine = psOut->size() - cchStart;
    for (size_t i = 0; i < svBytes.size(); ++i)
    {
        unsigned char b = static_cast<unsigned char>(svBytes[i]);
        if (i > 0)
        {
            if (cchLine + 4 > 78)
            {
                *psOut += ",\\\n  ";
                cchLine = 2;
            }
            else
            {
                psOut->push_back(',');
                ++cchLine;
            }
        }
        psOut->push_back(s_achHex[b >> 4]);
        psOut->push_back(s_achHex[b & 15]);
        cchLine += 2;
    }
    psOut->push_back('\n');
}

namespace
{

// Checks without applying.
class NullSink : public RegTextSink
{
public:
    void Key(int, const std::vector<std::string_view>&, bool) override {}
    void Value(std::string_view, DWORD, std::string_view) override {}
    void RemoveValue(std::string_view) override {}
};

} // namespace

bool ParseRegText(const std::string& sText, const std::string& sName, std::vector<RegEdit>* pEdits,
                  std::string* psError)
{
    RegEditSink sink;
    RegTextReader reader(sName, RegTextRegedit4, &sink);
    if (!reader.Feed(sText.data(), sText.size()) || !reader.Finish())
    {
        if (psError)
            *psError = reader.Error();
        return false;
    }
    *pEdits = std::move(sink.vEdits);
    return true;
}

namespace
{

// The edit's key, found or made along its path, by the names the machine
// stores where they are Unicode.
std::shared_ptr<RegKey> EditKey(const std::shared_ptr<RegKey>& pRoot, const RegEdit& edit,
                                bool fCreate)
{
    FILETIME ftNow = CurrentFileTime();
    std::shared_ptr<RegKey> pKey = pRoot;
    for (size_t i = 0; pKey && i < edit.vsPath.size(); ++i)
    {
        std::string_view svOriginal =
            i < edit.vsOriginals.size() ? edit.vsOriginals[i] : std::string_view();
        bool fCreated = false;
        const std::shared_ptr<RegKey>* ppChild =
            fCreate ? &ChildFor(*pKey, edit.vsPath[i], &fCreated, ftNow, svOriginal)
                    : FindChild(*pKey, edit.vsPath[i], svOriginal);
        pKey = ppChild ? *ppChild : nullptr;
    }
    return pKey;
}

} // namespace

void ApplyRegEdits(Registry& registry, const std::vector<RegEdit>& vEdits)
{
    for (const RegEdit& edit : vEdits)
    {
        const std::shared_ptr<RegKey>& pRoot = registry.apRoots[edit.iRoot];
        switch (edit.eKind)
        {
        case RegEdit::CreateKey:
            EditKey(pRoot, edit, true);
            break;
        case RegEdit::DeleteKey:
        {
            std::shared_ptr<RegKey> pKey = EditKey(pRoot, edit, false);
            if (pKey && pKey->pParent)
                RemoveSubkey(*pKey->pParent, *pKey);
            break;
        }
        case RegEdit::SetValue:
            SetValueBytes(*EditKey(pRoot, edit, true), edit.sValueName, edit.dwType, edit.sBytes);
            break;
        case RegEdit::DeleteValue:
        {
            std::shared_ptr<RegKey> pKey = EditKey(pRoot, edit, false);
            if (pKey)
                DeleteValue(*pKey, edit.sValueName);
            break;
        }
        }
    }
}

std::string FormatRegText(const Registry& registry)
{
    TextOut out;
    FormatRegistry(registry, &out);
    return out.sText;
}

bool WriteRegFile(const Registry& registry, const std::string& sPath, const std::string& sExtra)
{
    std::string sTemp = sPath + ".tmp";
    TextOut out;
    out.pFile = ::fopen(sTemp.c_str(), "wb");
    if (!out.pFile)
        return false;
    FormatRegistry(registry, &out);
    out.sText = sExtra;
    out.Flush(0);
    bool fOk = (fclose(out.pFile) == 0) && out.fOk;
    if (fOk)
        fOk = rename(sTemp.c_str(), sPath.c_str()) == 0;
    if (!fOk)
        remove(sTemp.c_str());
    return fOk;
}

} // namespace detail

namespace
{

bool ImportText(const std::string& sText, int fFormats, std::string* psError,
                const std::string& sName)
{
    // Read once to check, then again to apply: a bad text changes nothing.
    detail::NullSink check;
    detail::RegTextReader checker(sName, fFormats, &check);
    if (!checker.Feed(sText.data(), sText.size()) || !checker.Finish())
    {
        if (psError)
            *psError = checker.Error();
        return false;
    }
    detail::RegTreeSink apply(detail::CurrentMachine().registry);
    detail::RegTextReader applier(sName, fFormats, &apply);
    applier.Feed(sText.data(), sText.size());
    applier.Finish();
    detail::RegistryChanged();
    return true;
}

} // namespace

bool ImportReg(const std::string& sText, std::string* psError, const std::string& sName)
{
    return ImportText(sText, detail::RegTextRegedit4, psError, sName);
}

bool ImportRegExport(const std::string& sBytes, std::string* psError, const std::string& sName)
{
    return ImportText(sBytes, detail::RegTextRegedit4 | detail::RegTextVersion5, psError, sName);
}

std::string ExportReg()
{
    return detail::FormatRegText(detail::CurrentMachine().registry);
}

} // namespace winsim
