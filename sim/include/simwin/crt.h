// C runtime extensions of the simulated host that Windows declares in <io.h> and <fcntl.h>.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>

#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

int _setmode(int fd, int mode);
int _fileno(FILE* stream);
