// The Windows C runtime's low-level file calls, as far as the program uses
// them: the flag values are Windows' own, and paths are Windows paths that go
// through the machine's path mapping, like fopen's.
#pragma once

#include <cstdio>

#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_APPEND 0x0008
#define _O_CREAT 0x0100
#define _O_TRUNC 0x0200
#define _O_EXCL 0x0400
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

// Permission bits of a new file (Windows' sys/stat.h): without _S_IWRITE the
// file is created read-only.
#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080

int winsim_open(const char* pszPath, int nOpenFlags, int nPermission = _S_IREAD | _S_IWRITE);
FILE* winsim_fdopen(int nDescriptor, const char* pszMode);
int winsim_close(int nDescriptor);
#define _open winsim_open
#define _fdopen winsim_fdopen
#define _close winsim_close
