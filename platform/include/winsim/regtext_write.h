// Writing registry text: the registry tree as REGEDIT4, as the stand-in keeps
// a machine's registry.reg and as the preview writes its result.
#pragma once

#include <winsim/registry_tree.h>

#include <string>
#include <string_view>

namespace winsim
{
namespace detail
{

// The whole registry as REGEDIT4, in one string.
std::string FormatRegText(const Registry& registry);
// Writes the registry as REGEDIT4 (then sExtra) to a new file that replaces
// sPath once complete, in blocks rather than as one string.
bool WriteRegFile(const Registry& registry, const std::string& sPath,
                  const std::string& sExtra = std::string());
// One value line ("name"=data) with its newline, as the writer puts it.
void FormatValueLine(std::string_view svName, DWORD dwType, std::string_view svBytes,
                     std::string* psOut);

} // namespace detail
} // namespace winsim
