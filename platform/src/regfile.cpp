// REGEDIT4 text: the reader that machine files and tests feed the registry
// with, and the writer that saves it. A file is parsed completely before any
// of it is applied, so a bad line never leaves a half-loaded registry.
#include "winsim_internal.h"

#include <winsim.h>

#include <cstdio>

namespace winsim
{
namespace detail
{

namespace
{

const char kHeader[] = "REGEDIT4";

bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

int HexDigit(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

std::string TrimRight(const std::string& s)
{
    size_t iEnd = s.size();
    while (iEnd > 0 && IsBlank(s[iEnd - 1]))
        --iEnd;
    return s.substr(0, iEnd);
}

std::string TrimLeft(const std::string& s)
{
    size_t iStart = 0;
    while (iStart < s.size() && IsBlank(s[iStart]))
        ++iStart;
    return s.substr(iStart);
}

// Nothing but blanks or a comment may follow a complete item on a line.
bool RestIsEmpty(const std::string& s, size_t iPos)
{
    while (iPos < s.size() && IsBlank(s[iPos]))
        ++iPos;
    return iPos == s.size() || s[iPos] == ';';
}

bool StartsWithNoCase(const std::string& s, size_t iPos, const char* pszPrefix)
{
    std::string sPrefix(pszPrefix);
    return s.size() - iPos >= sPrefix.size() &&
           EqualNoCase(s.substr(iPos, sPrefix.size()), sPrefix);
}

class RegTextParser
{
public:
    RegTextParser(const std::string& sText, const std::string& sName) : m_sName(sName)
    {
        size_t iStart = 0;
        while (iStart < sText.size())
        {
            size_t iEnd = sText.find('\n', iStart);
            if (iEnd == std::string::npos)
                iEnd = sText.size();
            std::string sLine = sText.substr(iStart, iEnd - iStart);
            if (!sLine.empty() && sLine.back() == '\r')
                sLine.pop_back();
            m_vsLines.push_back(sLine);
            iStart = iEnd + 1;
        }
        if (!m_vsLines.empty() && m_vsLines[0].compare(0, 3, "\xEF\xBB\xBF") == 0)
            m_vsLines[0].erase(0, 3);
    }

    bool Parse(std::vector<RegEdit>* pEdits, std::string* psError)
    {
        m_pEdits = pEdits;
        m_psError = psError;
        size_t iLine = 0;
        while (iLine < m_vsLines.size() && TrimLeft(m_vsLines[iLine]).empty())
            ++iLine;
        if (iLine == m_vsLines.size())
            return Fail(iLine == 0 ? 1 : iLine, "empty file, expected the REGEDIT4 header");
        if (TrimRight(m_vsLines[iLine]) != kHeader)
            return Fail(iLine + 1, "expected the REGEDIT4 header");
        for (m_iLine = iLine + 1; m_iLine < m_vsLines.size(); ++m_iLine)
        {
            std::string sLine = TrimLeft(m_vsLines[m_iLine]);
            if (sLine.empty() || sLine[0] == ';')
                continue;
            bool fOk = false;
            if (sLine[0] == '[')
                fOk = ParseKeyLine(sLine);
            else if (sLine[0] == '"' || sLine[0] == '@')
                fOk = ParseValueLine(sLine);
            else
                fOk = Fail(m_iLine + 1, "expected a [key] line or a \"name\"=value line");
            if (!fOk)
                return false;
        }
        return true;
    }

private:
    bool Fail(size_t nLine, const std::string& sReason)
    {
        if (m_psError)
            *m_psError = m_sName + ":" + std::to_string(nLine) + ": " + sReason;
        return false;
    }

    bool FailHere(const std::string& sReason) { return Fail(m_iLine + 1, sReason); }

    bool ParseKeyLine(const std::string& sLine)
    {
        size_t iClose = sLine.rfind(']');
        if (iClose == std::string::npos)
            return FailHere("key line without a closing ']'");
        if (!RestIsEmpty(sLine, iClose + 1))
            return FailHere("unexpected text after the key name");
        std::string sPath = sLine.substr(1, iClose - 1);
        bool fDelete = !sPath.empty() && sPath[0] == '-';
        if (fDelete)
            sPath.erase(0, 1);
        // One trailing backslash is harmless; an empty name inside the path is not.
        if (!sPath.empty() && sPath.back() == '\\')
            sPath.pop_back();
        if (sPath.empty())
            return FailHere("empty key name");
        std::vector<std::string> vsPath;
        size_t iStart = 0;
        while (true)
        {
            size_t iEnd = sPath.find('\\', iStart);
            std::string sPart =
                sPath.substr(iStart, iEnd == std::string::npos ? std::string::npos : iEnd - iStart);
            if (sPart.empty())
                return FailHere("empty component in key name '" + sPath + "'");
            vsPath.push_back(sPart);
            if (iEnd == std::string::npos)
                break;
            iStart = iEnd + 1;
        }
        int iRoot = RootFromName(vsPath[0]);
        if (iRoot < 0)
            return FailHere("unknown root key '" + vsPath[0] + "'");
        vsPath.erase(vsPath.begin());
        if (fDelete && vsPath.empty())
            return FailHere("a root key cannot be deleted");
        RegEdit edit;
        edit.eKind = fDelete ? RegEdit::DeleteKey : RegEdit::CreateKey;
        edit.iRoot = iRoot;
        edit.vsPath = vsPath;
        m_pEdits->push_back(edit);
        m_fHaveKey = true;
        m_fKeyDeleted = fDelete;
        m_iRoot = iRoot;
        m_vsPath = vsPath;
        return true;
    }

    // Reads a quoted string starting at sLine[*piPos] == '"'; leaves *piPos after
    // the closing quote.
    bool ParseQuoted(const std::string& sLine, size_t* piPos, std::string* psText)
    {
        std::string sText;
        size_t i = *piPos + 1;
        for (; i < sLine.size(); ++i)
        {
            char ch = sLine[i];
            if (ch == '"')
            {
                *piPos = i + 1;
                *psText = sText;
                return true;
            }
            if (ch == '\\')
            {
                if (i + 1 >= sLine.size())
                    break;
                char chNext = sLine[++i];
                if (chNext != '\\' && chNext != '"')
                    return FailHere(std::string("unknown escape '\\") + chNext + "' in a string");
                sText += chNext;
                continue;
            }
            sText += ch;
        }
        return FailHere("string without its closing quote");
    }

    bool ParseValueLine(const std::string& sLine)
    {
        if (!m_fHaveKey)
            return FailHere("value line before any [key] line");
        if (m_fKeyDeleted)
            return FailHere("value line under a [-key] deletion");
        std::string sName;
        size_t iPos = 0;
        if (sLine[0] == '@')
            iPos = 1;
        else if (!ParseQuoted(sLine, &iPos, &sName))
            return false;
        while (iPos < sLine.size() && IsBlank(sLine[iPos]))
            ++iPos;
        if (iPos >= sLine.size() || sLine[iPos] != '=')
            return FailHere("expected '=' after the value name");
        ++iPos;
        while (iPos < sLine.size() && IsBlank(sLine[iPos]))
            ++iPos;

        RegEdit edit;
        edit.eKind = RegEdit::SetValue;
        edit.iRoot = m_iRoot;
        edit.vsPath = m_vsPath;
        edit.sValueName = sName;
        if (iPos < sLine.size() && sLine[iPos] == '-' && RestIsEmpty(sLine, iPos + 1))
            edit.eKind = RegEdit::DeleteValue;
        else if (iPos < sLine.size() && sLine[iPos] == '"')
        {
            std::string sText;
            if (!ParseQuoted(sLine, &iPos, &sText))
                return false;
            if (!RestIsEmpty(sLine, iPos))
                return FailHere("unexpected text after the string");
            edit.dwType = REG_SZ;
            edit.sBytes = sText + '\0';
        }
        else if (StartsWithNoCase(sLine, iPos, "dword:"))
        {
            iPos += 6;
            DWORD dwValue = 0;
            size_t nDigits = 0;
            for (; iPos < sLine.size() && HexDigit(sLine[iPos]) >= 0; ++iPos, ++nDigits)
                dwValue = (dwValue << 4) | static_cast<DWORD>(HexDigit(sLine[iPos]));
            if (nDigits == 0 || nDigits > 8 || !RestIsEmpty(sLine, iPos))
                return FailHere("dword: needs 1 to 8 hexadecimal digits");
            edit.dwType = REG_DWORD;
            for (int i = 0; i < 4; ++i)
                edit.sBytes += static_cast<char>((dwValue >> (8 * i)) & 0xFF);
        }
        else if (StartsWithNoCase(sLine, iPos, "hex"))
        {
            if (!ParseHexValue(sLine, iPos + 3, &edit))
                return false;
        }
        else
            return FailHere("unrecognised value data (expected \"text\", dword:, hex: or -)");
        m_pEdits->push_back(edit);
        return true;
    }

    bool ParseHexValue(const std::string& sLine, size_t iPos, RegEdit* pEdit)
    {
        pEdit->dwType = REG_BINARY;
        if (iPos < sLine.size() && sLine[iPos] == '(')
        {
            DWORD dwType = 0;
            size_t nDigits = 0;
            for (++iPos; iPos < sLine.size() && HexDigit(sLine[iPos]) >= 0; ++iPos, ++nDigits)
                dwType = (dwType << 4) | static_cast<DWORD>(HexDigit(sLine[iPos]));
            if (nDigits == 0 || nDigits > 8 || iPos >= sLine.size() || sLine[iPos] != ')')
                return FailHere("hex(type) needs a hexadecimal type number");
            ++iPos;
            pEdit->dwType = dwType;
        }
        if (iPos >= sLine.size() || sLine[iPos] != ':')
            return FailHere("expected ':' after hex");
        std::string sData = sLine.substr(iPos + 1);
        // The bytes may go on over several lines, each ending in a backslash.
        while (true)
        {
            std::string sPart = TrimRight(sData);
            bool fContinued = !sPart.empty() && sPart.back() == '\\';
            if (fContinued)
                sPart.pop_back();
            if (!ParseHexBytes(sPart, &pEdit->sBytes))
                return false;
            if (!fContinued)
                return true;
            if (m_iLine + 1 >= m_vsLines.size())
                return FailHere("continuation backslash on the last line");
            ++m_iLine;
            sData = m_vsLines[m_iLine];
        }
    }

    // One line's share of a hex byte list: "xx,xx,..." with blanks allowed
    // around the commas; a comma may end the line.
    bool ParseHexBytes(const std::string& sPart, std::string* psBytes)
    {
        size_t iPos = 0;
        while (true)
        {
            while (iPos < sPart.size() && IsBlank(sPart[iPos]))
                ++iPos;
            if (iPos >= sPart.size() || sPart[iPos] == ';')
                return true;
            int nValue = HexDigit(sPart[iPos]);
            if (nValue < 0)
                return FailHere("bad hex byte at '" + sPart.substr(iPos) + "'");
            ++iPos;
            if (iPos < sPart.size() && HexDigit(sPart[iPos]) >= 0)
                nValue = nValue * 16 + HexDigit(sPart[iPos++]);
            psBytes->push_back(static_cast<char>(nValue));
            while (iPos < sPart.size() && IsBlank(sPart[iPos]))
                ++iPos;
            if (iPos >= sPart.size() || sPart[iPos] == ';')
                return true;
            if (sPart[iPos] != ',')
                return FailHere("expected ',' between hex bytes at '" + sPart.substr(iPos) + "'");
            ++iPos;
        }
    }

    std::string m_sName;
    std::vector<std::string> m_vsLines;
    size_t m_iLine = 0;
    std::vector<RegEdit>* m_pEdits = nullptr;
    std::string* m_psError = nullptr;
    bool m_fHaveKey = false;
    bool m_fKeyDeleted = false;
    int m_iRoot = RootLocalMachine;
    std::vector<std::string> m_vsPath;
};

std::string QuoteText(const std::string& sText)
{
    std::string sQuoted = "\"";
    for (char ch : sText)
    {
        if (ch == '\\' || ch == '"')
            sQuoted += '\\';
        sQuoted += ch;
    }
    return sQuoted + "\"";
}

// A REG_SZ is written as a quoted string only when that reads back to the
// very same bytes: text without NULs or line breaks, then exactly one NUL.
bool IsPlainText(const std::string& sBytes)
{
    if (sBytes.empty() || sBytes.back() != '\0')
        return false;
    for (size_t i = 0; i + 1 < sBytes.size(); ++i)
    {
        char ch = sBytes[i];
        if (ch == '\0' || ch == '\n' || ch == '\r')
            return false;
    }
    return true;
}

void FormatValue(const RegValue& value, std::string* psOut)
{
    std::string sLine = value.sName.empty() ? "@" : QuoteText(value.sName);
    sLine += "=";
    const std::string& sBytes = value.sBytes;
    if (value.dwType == REG_SZ && IsPlainText(sBytes))
    {
        *psOut += sLine + QuoteText(sBytes.substr(0, sBytes.size() - 1)) + "\n";
        return;
    }
    char szBuffer[32];
    if (value.dwType == REG_DWORD && sBytes.size() == 4)
    {
        DWORD dwValue = 0;
        for (int i = 3; i >= 0; --i)
            dwValue = (dwValue << 8) | static_cast<unsigned char>(sBytes[i]);
        snprintf(szBuffer, sizeof szBuffer, "dword:%08x", dwValue);
        *psOut += sLine + szBuffer + "\n";
        return;
    }
    if (value.dwType == REG_BINARY)
        sLine += "hex:";
    else
    {
        snprintf(szBuffer, sizeof szBuffer, "hex(%x):", value.dwType);
        sLine += szBuffer;
    }
    // Long byte lists are wrapped as regedit does, keeping lines under 80 columns.
    for (size_t i = 0; i < sBytes.size(); ++i)
    {
        snprintf(szBuffer, sizeof szBuffer, "%02x", static_cast<unsigned char>(sBytes[i]));
        if (i > 0)
        {
            if (sLine.size() + 4 > 78)
            {
                *psOut += sLine + ",\\\n";
                sLine = "  ";
            }
            else
                sLine += ",";
        }
        sLine += szBuffer;
    }
    *psOut += sLine + "\n";
}

void FormatKey(const RegKey& key, const std::string& sPath, bool fRoot, std::string* psOut)
{
    if (!fRoot || !key.mapValues.empty())
    {
        *psOut += "\n[" + sPath + "]\n";
        for (const auto& entry : key.mapValues)
            FormatValue(entry.second, psOut);
    }
    for (const auto& entry : key.mapSubkeys)
        FormatKey(*entry.second, sPath + "\\" + entry.second->sName, false, psOut);
}

} // namespace

bool ParseRegText(const std::string& sText, const std::string& sName, std::vector<RegEdit>* pEdits,
                  std::string* psError)
{
    std::vector<RegEdit> vEdits;
    RegTextParser parser(sText, sName);
    if (!parser.Parse(&vEdits, psError))
        return false;
    *pEdits = vEdits;
    return true;
}

void ApplyRegEdits(Registry& registry, const std::vector<RegEdit>& vEdits)
{
    for (const RegEdit& edit : vEdits)
    {
        const std::shared_ptr<RegKey>& pRoot = registry.apRoots[edit.iRoot];
        switch (edit.eKind)
        {
        case RegEdit::CreateKey:
            CreateSubkey(pRoot, edit.vsPath, nullptr);
            break;
        case RegEdit::DeleteKey:
        {
            std::shared_ptr<RegKey> pKey = FindSubkey(pRoot, edit.vsPath);
            std::shared_ptr<RegKey> pParent = pKey ? pKey->pParent.lock() : nullptr;
            if (pParent)
                RemoveSubkey(pParent, pKey->sName);
            break;
        }
        case RegEdit::SetValue:
            SetValueBytes(*CreateSubkey(pRoot, edit.vsPath, nullptr), edit.sValueName, edit.dwType,
                          edit.sBytes);
            break;
        case RegEdit::DeleteValue:
        {
            std::shared_ptr<RegKey> pKey = FindSubkey(pRoot, edit.vsPath);
            if (pKey && pKey->mapValues.erase(edit.sValueName))
                TouchKey(*pKey);
            break;
        }
        }
    }
}

std::string FormatRegText(const Registry& registry)
{
    std::string sOut = std::string(kHeader) + "\n";
    const int aiOrder[] = {RootLocalMachine, RootCurrentUser, RootClassesRoot, RootUsers};
    for (int iRoot : aiOrder)
        FormatKey(*registry.apRoots[iRoot], RootName(iRoot), true, &sOut);
    return sOut;
}

} // namespace detail

bool ImportReg(const std::string& sText, std::string* psError, const std::string& sName)
{
    std::vector<detail::RegEdit> vEdits;
    if (!detail::ParseRegText(sText, sName, &vEdits, psError))
        return false;
    detail::ApplyRegEdits(detail::CurrentMachine().registry, vEdits);
    detail::RegistryChanged();
    return true;
}

std::string ExportReg()
{
    return detail::FormatRegText(detail::CurrentMachine().registry);
}

} // namespace winsim
