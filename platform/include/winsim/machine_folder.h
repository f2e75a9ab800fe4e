// A machine folder as others make and load it: registry.reg (REGEDIT4) and
// drive_c/, loaded by the host program from WINSIM_MACHINE.
#pragma once

#include <string>

namespace winsim
{
namespace detail
{

// The host main's machine step: loads WINSIM_MACHINE if it names one. Returns 0,
// or 2 with a one-line message for stderr in *psMessage.
int PrepareHostMachine(const char* pszMachine, std::string* psMessage);

// The key (its full path) that may name the machine's Windows and system
// directories ("WindowsDirectory", "SystemDirectory"; see
// WindowsDirectory() in the stand-in). Only the preview sets them, to show a
// real machine's own folders; Wine has no such setting, so scenarios never
// use it.
extern const char kFoldersKey[];

} // namespace detail
} // namespace winsim
