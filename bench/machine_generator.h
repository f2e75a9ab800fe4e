// Machines of realistic size for the benchmarks: registry exports written the
// way regedit writes them.
#pragma once

#include <cstddef>
#include <string>

namespace bench
{

// A Windows 98 machine as REGEDIT4 text, with the Model 12 driver installed:
// nKeys keys below HKLM\ENUM\USBPRINT (device keys with one instance key each),
// nMatches of them instances of the driver's device spread evenly among the
// others, and the rest of a 9x registry around them.
std::string Win98Machine(size_t nKeys, size_t nMatches);

// An XP machine's HKEY_LOCAL_MACHINE as a version 5.00 export in UTF-16LE
// (byte order mark, CR LF), about cbTarget bytes long, with the Model 12
// driver and its printer in it.
std::string XpExportUtf16(size_t cbTarget);

// The same machine as 8-bit REGEDIT4 text of about cbTarget bytes, for the
// loading benchmark.
std::string XpRegedit4(size_t cbTarget);

} // namespace bench
