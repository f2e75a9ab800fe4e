// Reading registry text: REGEDIT4, and regedit's version 5.00 (UTF-16LE) for
// the preview, handed on item by item to a sink (the registry tree, a list of
// edits, or the reader's own user).
#pragma once

#include <winsim/registry_tree.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace winsim
{
namespace detail
{

struct RegEdit
{
    enum Kind
    {
        CreateKey,
        DeleteKey,
        SetValue,
        DeleteValue
    } eKind = CreateKey;
    int iRoot = RootLocalMachine;
    std::vector<std::string> vsPath;
    std::vector<std::string> vsOriginals; // see RegTextSink::KeyOriginals
    std::string sValueName;
    DWORD dwType = REG_NONE;
    std::string sBytes;
};

// The comment lines around each change record appended to registry.reg.
inline constexpr char kRecordBegin[] = ";winsim:begin";
inline constexpr char kRecordEnd[] = ";winsim:end";
// The comment line before a key line whose path has names the machine stores
// in Unicode: the path again, those names in UTF-8 (the others as they are).
inline constexpr char kKeyOriginals[] = ";winsim:key ";

// What a reader hands on, item by item in file order, each as soon as its line
// is read. The views point into the reader's buffers: copy what must last.
class RegTextSink
{
public:
    virtual ~RegTextSink() = default;
    virtual void Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete) = 0;
    virtual void Value(std::string_view svName, DWORD dwType, std::string_view svBytes) = 0;
    virtual void RemoveValue(std::string_view svName) = 0;
    // Before a Key: the names the machine stores in Unicode (UTF-8) for the
    // parts of its path whose ANSI form is a lossy conversion, empty for the
    // others.
    virtual void KeyOriginals(const std::vector<std::string>& vsOriginals) { (void)vsOriginals; }
    // The stand-in's change records in registry.reg: ";winsim:begin" and ";winsim:end".
    virtual void RecordMark(bool fEnd, unsigned long long ullOffset)
    {
        (void)fEnd;
        (void)ullOffset;
    }
};

enum RegTextFormat
{
    RegTextRegedit4 = 1,
    RegTextVersion5 = 2, // "Windows Registry Editor Version 5.00", UTF-16LE
};

// Text written elsewhere (the preview's inputs) may hold characters the
// machine's ANSI code page lacks: the reader hands each such name or string,
// as UTF-8, to a converter that decides what the program would see.
class RegTextConverter
{
public:
    virtual ~RegTextConverter() = default;
    // svUtf8: one key name, value name or string value (an unpaired UTF-16
    // surrogate in its three-byte form). False with *psReason refuses it.
    virtual bool ToAnsi(std::string_view svUtf8, size_t nLine, std::string* psOut,
                        std::string* psReason) = 0;
    // A string value of cbData bytes, an odd number, read as the units its
    // bytes make; svAnsi is what the program sees.
    virtual void OddLengthString(size_t nLine, size_t cbData, std::string_view svAnsi)
    {
        (void)nLine;
        (void)cbData;
        (void)svAnsi;
    }
};

// Windows' own limits on what a registry holds.
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;

// Reads registry text handed over in pieces of any size. The first failure
// stops it: *psError is "<name>:<line>: <reason>".
class RegTextReader
{
public:
    RegTextReader(const std::string& sName, int fAllowedFormats, RegTextSink* pSink);
    ~RegTextReader();
    // Reads text as a real machine's regedit or an editor may have saved it,
    // before the first Feed: UTF-16 of either byte order with or without its
    // byte order mark, UTF-8 with or without one (told from Windows-1252 by
    // its first line that is not ASCII), CR, LF or CR LF line ends; Unicode
    // text goes through the converter; names beyond Windows' limits or with a
    // line break or NUL in them are refused.
    void ReadForeign(RegTextConverter* pConverter);
    // How the text was encoded, once the header is read ("UTF-16LE", "UTF-8
    // with byte order mark", "Windows-1252" ...), and its line ends.
    std::string EncodingName() const;
    bool Feed(const char* pch, size_t cb);
    bool Finish();
    const std::string& Error() const;
    int Format() const; // RegTextRegedit4 or RegTextVersion5 once the header is read
    size_t Line() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// Reads a whole file through the reader, in blocks; false with *psError when
// the file cannot be read or the text is bad. With a converter the text is
// read as written elsewhere (RegTextReader::ReadForeign); *pnFormat and
// *psEncoding (RegTextReader::EncodingName) say what the file was.
bool ReadRegFile(const std::string& sPath, int fAllowedFormats, RegTextSink* pSink,
                 std::string* psError, int* pnFormat = nullptr,
                 RegTextConverter* pConverter = nullptr, std::string* psEncoding = nullptr);

// Applies items straight to a registry.
class RegTreeSink : public RegTextSink
{
public:
    explicit RegTreeSink(Registry& registry);
    void Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete) override;
    void Value(std::string_view svName, DWORD dwType, std::string_view svBytes) override;
    void RemoveValue(std::string_view svName) override;
    void KeyOriginals(const std::vector<std::string>& vsOriginals) override;

protected:
    Registry& m_registry;
    std::vector<std::string> m_vsOriginals; // for the next Key
    std::vector<RegKey*> m_vpPath;          // the last key line's keys, reused by the next one
    RegKey* m_pKey = nullptr;
    FILETIME m_ftNow;
};

// Collects items as edits.
class RegEditSink : public RegTextSink
{
public:
    void Key(int iRoot, const std::vector<std::string_view>& vsvPath, bool fDelete) override;
    void Value(std::string_view svName, DWORD dwType, std::string_view svBytes) override;
    void RemoveValue(std::string_view svName) override;
    void KeyOriginals(const std::vector<std::string>& vsOriginals) override;
    std::vector<RegEdit> vEdits;

private:
    int m_iRoot = RootLocalMachine;
    std::vector<std::string> m_vsPath;
    std::vector<std::string> m_vsOriginals;
    bool m_fOriginalsForKey = false;
};

// Parses the whole text before anything is applied, so a bad file changes nothing.
bool ParseRegText(const std::string& sText, const std::string& sName, std::vector<RegEdit>* pEdits,
                  std::string* psError);
void ApplyRegEdits(Registry& registry, const std::vector<RegEdit>& vEdits);

} // namespace detail
} // namespace winsim
