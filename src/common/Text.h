// Small text helpers that must behave the same on every platform.
#pragma once

#include "common/Platform.h"

#include <memory>

// Whole-string equality of two ANSI texts with letters compared without regard to case, using
// the case pairs of the system ANSI code page; a double-byte character compares as a unit.
bool AnsiEqualNoCase(const char* pszA, const char* pszB);

// The folded form that AnsiEqualNoCase compares: the wide text of the ANSI text in the system
// ANSI code page, upper-cased by the system's case table; null when a conversion fails or no
// memory is left. Made once for a text that is compared often.
WCHAR* NewAnsiUpperWide(const char* psz);
// An ANSI text in the folded form of NewAnsiUpperWide, made once to be compared with many folded
// texts. A text of ASCII characters only is folded without a system call, as the system's table
// folds ASCII in every ANSI code page; any other text goes through the system, without heap
// memory when it is shorter than 256 characters.
class CFoldedAnsi {
 public:
  explicit CFoldedAnsi(const char* psz);
  CFoldedAnsi(const CFoldedAnsi&) = delete;
  CFoldedAnsi& operator=(const CFoldedAnsi&) = delete;

  // AnsiEqualNoCase of the text and the one pwszFolded was made from; a null text, a text that
  // could not be folded, and a null pwszFolded equal nothing.
  bool Equals(const WCHAR* pwszFolded) const;

 private:
  WCHAR m_wszShort[256];
  std::unique_ptr<WCHAR[]> m_pwszLong;
  const WCHAR* m_pwsz;
};

// The narrow form of a wide name, as the formatting routines' "%S" conversion makes it in the
// default locale: each character up to U+00FF becomes the byte of the same value, and the text
// ends at the first character above U+00FF. Writes at most cchNarrow - 1 characters and always
// terminates (cchNarrow > 0); a null name gives the empty text. Returns the characters written.
size_t NarrowWideName(const WCHAR* pwszName, char* pszNarrow, size_t cchNarrow);
// The number of characters of the narrow form, without the terminator.
size_t NarrowWideNameLength(const WCHAR* pwszName);

// Whole-string equality of two wide texts with the ASCII letters A-Z and a-z taken as equal and
// every other character compared exactly. A null text equals nothing, not even another null.
bool WideEqualNoCaseAscii(const WCHAR* pwszA, const WCHAR* pwszB);

// The next comma-delimited entry of the ANSI text at *ppszCursor without the blanks and tabs
// around it, cut in place (a terminator after its last other character), or null at the end.
// Runs of commas separate entries and produce none, and so does an entry of blanks alone. A
// double-byte character of the ANSI code page is stepped over whole, so that its trail byte
// never ends an entry.
char* NextListEntry(char** ppszCursor);

// True when the ANSI text holds the single-byte character c; the trail byte of a double-byte
// character is not taken for one.
bool AnsiHasChar(const char* psz, char c);
