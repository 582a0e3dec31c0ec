// Small text helpers that must behave the same on every platform.
#pragma once

#include "common/Platform.h"

// Whole-string equality of two ANSI texts with letters compared without regard to case, using
// the case pairs of the system ANSI code page; a double-byte character compares as a unit.
bool AnsiEqualNoCase(const char* pszA, const char* pszB);

// PROVISIONAL
void NarrowName(const wchar_t* pwsz, char* psz, size_t cch);
