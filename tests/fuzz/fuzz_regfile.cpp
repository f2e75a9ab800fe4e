// The stand-in's registry file reader on any text. A text it refuses changes
// nothing and names a line; a text it takes exports to REGEDIT4 that reads
// back to the very same registry.
//
// The reader is a test API function with the signature of winsim::ImportReg;
// another reader gets a target of its own by defining MORIX_FUZZ_REG_READER
// (see CMakeLists.txt).
#include <windows.h>
#include <winsim.h>

#include <cctype>
#include <cstdint>
#include <string>

#include "fuzz_common.h"

#ifndef MORIX_FUZZ_REG_READER
#define MORIX_FUZZ_REG_READER winsim::ImportReg
#endif

namespace
{

std::string g_sEmptyExport;

// "<name>:<line>: <reason>", the line counted from 1.
bool NamesALine(const std::string& sError, const std::string& sName)
{
    if (sError.compare(0, sName.size() + 1, sName + ":") != 0)
        return false;
    size_t i = sName.size() + 1;
    size_t iDigits = i;
    while (i < sError.size() && isdigit(static_cast<unsigned char>(sError[i])))
        ++i;
    return i > iDigits && sError[iDigits] != '0' && sError.compare(i, 2, ": ") == 0 &&
           sError.size() > i + 2;
}

void CheckReader(const std::string& sText)
{
    winsim::Reset();
    std::string sError;
    if (!MORIX_FUZZ_REG_READER(sText, &sError, "input"))
    {
        FUZZ_CHECK(NamesALine(sError, "input"), sError);
        FUZZ_CHECK(winsim::ExportReg() == g_sEmptyExport, "a refused text changed the registry");
        return;
    }
    const std::string sExport = winsim::ExportReg();
    winsim::Reset();
    FUZZ_CHECK(winsim::ImportReg(sExport, &sError, "export"), sError + "\n" + sExport);
    FUZZ_CHECK(winsim::ExportReg() == sExport, "the export reads back differently:\n" + sExport);
    FUZZ_CHECK(winsim::OpenKeyCount() == 0, "a key handle is open");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    winsim::Reset();
    g_sEmptyExport = winsim::ExportReg();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData)
{
    CheckReader(std::string(reinterpret_cast<const char*>(pbData), cbData));
    // Back to the empty machine, so that an input leaves as many blocks
    // allocated as it found: libFuzzer then looks for leaks only where a run
    // really leaks.
    winsim::Reset();
    return 0;
}
