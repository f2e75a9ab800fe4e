// The preview's result as one JSON document, for scripts.
//
// The document is plain ASCII: every character beyond it is a \u escape
// (a pair for one beyond U+FFFF), as are the control characters, DEL and
// U+0080..U+009F. Machine text (names, data, the log) is Windows-1252, which
// maps every byte to a character, so it always arrives whole. Only host
// paths can hold bytes that are not UTF-8: each such byte 0xNN is written as
// the lone surrogate \udcNN, the form Python's "surrogateescape" gives and
// takes (os.fsencode of the decoded string is the path's bytes again).
#include "preview_result.h"

#include <cstdio>

namespace preview
{

namespace
{

class JsonWriter
{
public:
    void BeginObject() { Open('{'); }
    void EndObject() { Close('}'); }
    void BeginArray() { Open('['); }
    void EndArray() { Close(']'); }

    void Key(const char* pszName)
    {
        Separate();
        AppendString(pszName);
        m_sOut += ": ";
        m_fAfterKey = true;
    }

    void String(std::string_view sv)
    {
        Separate();
        AppendString(sv);
    }
    void Number(unsigned long long ull)
    {
        Separate();
        m_sOut += std::to_string(ull);
    }
    void Integer(long long ll)
    {
        Separate();
        m_sOut += std::to_string(ll);
    }
    void Bool(bool f)
    {
        Separate();
        m_sOut += f ? "true" : "false";
    }
    void Null()
    {
        Separate();
        m_sOut += "null";
    }

    // Shorthands for a member.
    void Member(const char* pszName, std::string_view sv)
    {
        Key(pszName);
        String(sv);
    }
    void MemberNumber(const char* pszName, unsigned long long ull)
    {
        Key(pszName);
        Number(ull);
    }
    void MemberOrNull(const char* pszName, bool fHas, std::string_view sv)
    {
        Key(pszName);
        if (fHas)
            String(sv);
        else
            Null();
    }

    std::string Text() const { return m_sOut + "\n"; }

private:
    void Open(char ch)
    {
        Separate();
        m_sOut += ch;
        m_vnCounts.push_back(0);
    }

    void Close(char ch)
    {
        bool fEmpty = m_vnCounts.back() == 0;
        m_vnCounts.pop_back();
        if (!fEmpty)
            NewLine();
        m_sOut += ch;
    }

    // Before any value or key: the comma and the line break it needs.
    void Separate()
    {
        if (m_fAfterKey)
        {
            m_fAfterKey = false;
            return;
        }
        if (m_vnCounts.empty())
            return;
        if (m_vnCounts.back()++ > 0)
            m_sOut += ',';
        NewLine();
    }

    void NewLine()
    {
        m_sOut += '\n';
        m_sOut.append(2 * m_vnCounts.size(), ' ');
    }

    void Escape(unsigned int u)
    {
        char sz[16];
        snprintf(sz, sizeof sz, "\\u%04x", u);
        m_sOut += sz;
    }

    void AppendString(std::string_view sv)
    {
        m_sOut += '"';
        for (size_t i = 0; i < sv.size();)
        {
            unsigned int uChar = 0;
            size_t nBytes = DecodeUtf8(sv, i, &uChar);
            if (nBytes == 0)
            {
                Escape(0xDC00 + static_cast<unsigned char>(sv[i]));
                ++i;
                continue;
            }
            i += nBytes;
            if (uChar == '"' || uChar == '\\')
            {
                m_sOut += '\\';
                m_sOut += static_cast<char>(uChar);
            }
            else if (uChar == '\n')
                m_sOut += "\\n";
            else if (uChar == '\t')
                m_sOut += "\\t";
            else if (uChar == '\r')
                m_sOut += "\\r";
            else if (uChar >= 0x20 && uChar < 0x7F)
                m_sOut += static_cast<char>(uChar);
            else if (uChar < 0x10000)
                Escape(uChar);
            else
            {
                Escape(0xD800 + ((uChar - 0x10000) >> 10));
                Escape(0xDC00 + ((uChar - 0x10000) & 0x3FF));
            }
        }
        m_sOut += '"';
    }

    std::string m_sOut;
    std::vector<size_t> m_vnCounts; // values so far in each open object or array
    bool m_fAfterKey = false;
};

void Value(JsonWriter& json, unsigned long dwType, const std::string& sBytes)
{
    json.BeginObject();
    json.Member("type", ValueTypeName(dwType));
    std::string sHex;
    for (unsigned char ch : sBytes)
    {
        static const char s_szDigits[] = "0123456789abcdef";
        sHex += s_szDigits[ch >> 4];
        sHex += s_szDigits[ch & 15];
    }
    json.Member("hex", sHex);
    // The readable forms, where the data has them.
    if ((dwType == REG_SZ || dwType == REG_EXPAND_SZ) && !sBytes.empty() && sBytes.back() == '\0' &&
        sBytes.find('\0') == sBytes.size() - 1)
        json.Member("text", ForTerminal(std::string_view(sBytes).substr(0, sBytes.size() - 1)));
    else if (dwType == REG_DWORD && sBytes.size() == 4)
    {
        unsigned long ul = 0;
        for (size_t i = 4; i-- > 0;)
            ul = (ul << 8) | static_cast<unsigned char>(sBytes[i]);
        json.MemberNumber("number", ul);
    }
    json.EndObject();
}

void Messages(JsonWriter& json, const char* pszName, const std::vector<Message>& vMessages)
{
    json.Key(pszName);
    json.BeginArray();
    for (const Message& message : vMessages)
    {
        json.BeginObject();
        json.MemberOrNull("about", !message.sSubject.empty(), message.sSubject);
        json.Member("text", message.sText);
        json.EndObject();
    }
    json.EndArray();
}

void Changes(JsonWriter& json, const ChangeList& changes)
{
    json.Key("registry");
    json.BeginObject();
    json.Key("counts");
    json.BeginObject();
    json.MemberNumber("keys_removed", changes.nKeysRemoved);
    json.MemberNumber("subkeys_removed_with_them", changes.nSubkeysRemoved);
    json.MemberNumber("keys_created", changes.nKeysCreated);
    json.MemberNumber("values_written", changes.nValuesWritten);
    json.MemberNumber("values_new", changes.nValuesNew);
    json.MemberNumber("values_unchanged", changes.nValuesUnchanged);
    json.MemberNumber("values_removed", changes.nValuesRemoved);
    json.MemberNumber("values_removed_with_keys", changes.nValuesRemovedWithKeys);
    json.EndObject();
    json.Key("changes");
    json.BeginArray();
    for (const RegistryChange& change : changes.vEntries)
    {
        json.BeginObject();
        static const char* const s_apszKinds[] = {"key_removed", "key_created", "value_written",
                                                  "value_removed"};
        json.Member("change", s_apszKinds[change.eKind]);
        json.Member("key", ForTerminal(change.sKeyPath));
        if (change.eKind == RegistryChange::KeyRemoved)
        {
            json.MemberNumber("subkeys", change.nSubkeys);
            json.MemberNumber("values", change.nValues);
        }
        else if (change.eKind != RegistryChange::KeyCreated)
        {
            json.Member("name", ForTerminal(change.sName));
            json.Key("before");
            if (change.fHadOld)
                Value(json, change.dwOldType, change.sOldBytes);
            else
                json.Null();
            json.Key("after");
            if (change.eKind == RegistryChange::ValueWritten)
                Value(json, change.dwNewType, change.sNewBytes);
            else
                json.Null();
        }
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

} // namespace

std::string RenderJson(const Result& result)
{
    JsonWriter json;
    json.BeginObject();
    json.MemberNumber("format", 1);
    static const char* const s_apszVerdicts[] = {"none", "succeeded", "failed"};
    json.Member("verdict", s_apszVerdicts[result.eVerdict]);
    json.MemberOrNull("operation", !result.sOperation.empty(), result.sOperation);
    json.MemberOrNull("driver", result.fHasDriver, ForTerminal(result.sDriver));

    json.Key("argument");
    json.BeginObject();
    json.Member("typed", result.sTyped);
    json.Member("as_the_program_gets_it", ForTerminal(result.sArgument));
    json.MemberNumber("characters_converted", result.nArgumentChanged);
    json.EndObject();

    json.Key("inputs");
    json.BeginArray();
    for (const InputFile& file : result.vFiles)
    {
        json.BeginObject();
        json.Member("path", file.sPath);
        json.Member("format", file.nFormat == kFormatHive ? "hive"
                              : file.nFormat == kFormat9x ? "9x registry file"
                              : file.nFormat == winsim::detail::RegTextVersion5
                                  ? "Windows Registry Editor Version 5.00"
                                  : "REGEDIT4");
        json.MemberOrNull("encoding", !file.sEncoding.empty(), file.sEncoding);
        json.Key("gives");
        json.BeginArray();
        for (const std::string& sPlace : file.vsPlaces)
            json.String(ForTerminal(sPlace));
        json.EndArray();
        json.MemberNumber("names_and_strings_converted", file.nConverted);
        json.EndObject();
    }
    json.EndArray();

    json.Key("assumptions");
    json.BeginObject();
    json.Key("windows_version");
    json.BeginObject();
    json.Member("name", result.version.sName);
    json.Member("source", result.version.sSource);
    json.Key("inputs_say_otherwise");
    json.BeginArray();
    for (const std::string& sClaim : result.version.vsClaims)
        json.String(sClaim);
    json.EndArray();
    json.EndObject();
    json.Member("current_user", DescribeCurrentUser(result.user));
    json.Key("windows_folder");
    json.BeginObject();
    json.Member("path", ForTerminal(result.folders.sWindows));
    json.Member("source", ForTerminal(result.folders.sWindowsSource));
    json.EndObject();
    json.Key("system_folder");
    json.BeginObject();
    json.Member("path", ForTerminal(result.folders.sSystem));
    json.Member("source", result.folders.sSystemSource);
    json.EndObject();
    json.Key("component_library");
    json.BeginObject();
    json.Member("kind", result.sComponent);
    json.Member("note", result.sComponentNote);
    json.EndObject();
    json.EndObject();

    json.MemberOrNull("printers_key", !result.sPrintersKey.empty(),
                      ForTerminal(result.sPrintersKey));
    json.Key("printers");
    json.BeginArray();
    for (size_t i = 0; i < result.vPrinters.size(); ++i)
    {
        const PrinterFound& printer = result.vPrinters[i];
        json.BeginObject();
        json.Member("name", ForTerminal(printer.sName));
        json.MemberOrNull("driver", printer.fHasDriver, ForTerminal(printer.sDriver));
        json.MemberOrNull("port", printer.fHasPort, ForTerminal(printer.sPort));
        json.Key("told");
        json.Bool(result.vfTold[i]);
        json.EndObject();
    }
    json.EndArray();

    json.Key("component_calls");
    json.BeginArray();
    for (const std::string& sPrinter : result.vsCalls)
    {
        json.BeginObject();
        json.Member("function", "VendorUninstall");
        json.Member("printer", ForTerminal(sPrinter));
        json.EndObject();
    }
    json.EndArray();

    Changes(json, result.changes);

    json.Key("log");
    json.BeginObject();
    json.MemberOrNull("file", !result.sLogName.empty(), "C:\\TEMP\\" + result.sLogName);
    json.Key("lines");
    json.BeginArray();
    for (const std::string& sLine : result.vsLog)
        json.String(ForTerminal(sLine));
    json.EndArray();
    json.EndObject();
    json.Key("program_status");
    json.Integer(result.nStatus);

    Messages(json, "notes", result.vNotes);
    Messages(json, "warnings", result.vWarnings);
    json.Key("conversions_on_the_run_path");
    json.BeginArray();
    for (const std::string& sLine : result.vsConversionsOnRun)
        json.String(sLine);
    json.EndArray();
    json.MemberOrNull("result_file", result.fWriteResultDone, result.sWriteResult);
    json.EndObject();
    return json.Text();
}

} // namespace preview
