// The C runtime's files (winsim_fopen, winsim_open, winsim_fdopen, winsim_close;
// the program reaches them as fopen, _open, _fdopen, _close).
#pragma once

namespace winsim
{
namespace detail
{

// Runtime streams and low-level descriptors not yet closed.
int OpenStreamCount();

} // namespace detail
} // namespace winsim
