// The C runtime extensions of the simulated host: multibyte comparison in code page 1252 and
// the stream mode calls, which have nothing to do on Linux (no text-mode translation there).
#include <simwin/crt.h>
#include <simwin/mbstring.h>

#include "internal/Sim.h"

#include <cctype>
#include <climits>
#include <unistd.h>

namespace {

int g_nMbcp = 1252;

// Lower case of a code page 1252 byte.
unsigned char Lower1252(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 0x20);
  switch (c) {
    case 0x8A: return 0x9A;
    case 0x8C: return 0x9C;
    case 0x8E: return 0x9E;
    case 0x9F: return 0xFF;
    default: return c;
  }
}

}  // namespace

int _setmbcp(int codepage) {
  if (codepage == _MB_CP_ANSI || codepage == _MB_CP_LOCALE || codepage == 1252) {
    g_nMbcp = 1252;
    return 0;
  }
  if (codepage == _MB_CP_SBCS) {
    g_nMbcp = 0;
    return 0;
  }
  errno = EINVAL;
  return -1;
}

int _getmbcp() { return g_nMbcp; }

int _mbsicmp(const unsigned char* string1, const unsigned char* string2) {
  if (!string1 || !string2) {
    errno = EINVAL;
    return INT_MAX;  // _NLSCMPERROR
  }
  for (;; ++string1, ++string2) {
    unsigned char a = g_nMbcp ? Lower1252(*string1) : static_cast<unsigned char>(tolower(*string1));
    unsigned char b = g_nMbcp ? Lower1252(*string2) : static_cast<unsigned char>(tolower(*string2));
    if (a != b) return a < b ? -1 : 1;
    if (!a) return 0;
  }
}

int _setmode(int fd, int mode) {
  (void)fd;
  return mode == _O_BINARY ? _O_TEXT : _O_BINARY;
}

int _fileno(FILE* stream) { return fileno(stream); }
