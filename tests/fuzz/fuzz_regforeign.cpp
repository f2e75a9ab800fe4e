// The preview's reading of exports written elsewhere (any encoding and line
// ends, Unicode text converted to Windows-1252) on any bytes. A text it
// refuses names a line; a text it takes makes a registry whose machine file
// (REGEDIT4) reads back to the very same registry, so nothing it let through
// can break the run's machine.
#include <winsim/codepage.h>
#include <winsim/regtext_read.h>
#include <winsim/regtext_write.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_common.h"

namespace
{

using namespace winsim::detail;

class Converter : public RegTextConverter
{
public:
    bool ToAnsi(std::string_view svUtf8, size_t, std::string* psOut, std::string* psReason) override
    {
        size_t nChanged = 0;
        if (Utf8ToCp1252(svUtf8, psOut, &nChanged))
            return true;
        *psReason = "not UTF-8";
        return false;
    }
};

bool NamesALine(const std::string& sError)
{
    static const std::string s_sName = "input:";
    if (sError.compare(0, s_sName.size(), s_sName) != 0)
        return false;
    size_t i = s_sName.size();
    while (i < sError.size() && isdigit(static_cast<unsigned char>(sError[i])))
        ++i;
    return i > s_sName.size() && sError[s_sName.size()] != '0' && sError.compare(i, 2, ": ") == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData)
{
    Registry registry;
    RegTreeSink sink(registry);
    Converter converter;
    RegTextReader reader("input", RegTextRegedit4 | RegTextVersion5, &sink);
    reader.ReadForeign(&converter);
    // In two pieces, so that a character or line end split between blocks is tried too.
    const char* pch = reinterpret_cast<const char*>(pbData);
    size_t cbFirst = cbData / 2;
    if (!reader.Feed(pch, cbFirst) || !reader.Feed(pch + cbFirst, cbData - cbFirst) ||
        !reader.Finish())
    {
        FUZZ_CHECK(NamesALine(reader.Error()), reader.Error());
        return 0;
    }
    const std::string sMachine = FormatRegText(registry);
    std::vector<RegEdit> vEdits;
    std::string sError;
    FUZZ_CHECK(ParseRegText(sMachine, "machine", &vEdits, &sError), sError + "\n" + sMachine);
    Registry again;
    ApplyRegEdits(again, vEdits);
    FUZZ_CHECK(FormatRegText(again) == sMachine,
               "the machine file reads back differently:\n" + sMachine);
    return 0;
}
