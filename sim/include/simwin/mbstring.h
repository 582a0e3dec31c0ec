// Multibyte string routines of the simulated host. Its ANSI code page is 1252 (single-byte).
#pragma once

#include "windef.h"

#define _MB_CP_SBCS 0
#define _MB_CP_OEM -2
#define _MB_CP_ANSI -3
#define _MB_CP_LOCALE -4

int _setmbcp(int codepage);
int _getmbcp();
int _mbsicmp(const unsigned char* string1, const unsigned char* string2);
