#include "common/Text.h"

#include <memory>
#include <new>

namespace {

// Folds the cch characters (terminator included) of pwsz in place with the system's case table.
// Without LCMAP_LINGUISTIC_CASING the mapping is the locale-independent one that file names use,
// so a name folds the same on every system; it exists on every Windows, unlike
// CompareStringOrdinal.
bool FoldWide(WCHAR* pwsz, int cch) {
  return LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, pwsz, cch, pwsz, cch) == cch;
}

// The upper-case wide form of an ANSI text in the system ANSI code page, or null.
std::unique_ptr<WCHAR[]> UpperWide(const char* psz) {
  int cch = MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
  if (cch <= 0) return nullptr;
  std::unique_ptr<WCHAR[]> pwsz(new (std::nothrow) WCHAR[cch]);
  if (pwsz && (MultiByteToWideChar(CP_ACP, 0, psz, -1, pwsz.get(), cch) != cch || !FoldWide(pwsz.get(), cch)))
    pwsz.reset();
  return pwsz;
}

bool WideEqual(const WCHAR* pa, const WCHAR* pb) {
  for (; *pa == *pb; ++pa, ++pb)
    if (!*pa) return true;
  return false;
}

}  // namespace

bool AnsiEqualNoCase(const char* pszA, const char* pszB) {
  if (!pszA || !pszB) return false;
  // Through Unicode: the conversion knows the code page's character boundaries, and the
  // system's own upper-case table folds the letters; the upper-cased texts then compare
  // character by character, as an ordinal comparison does.
  std::unique_ptr<WCHAR[]> pwszA = UpperWide(pszA);
  std::unique_ptr<WCHAR[]> pwszB = UpperWide(pszB);
  return pwszA && pwszB && WideEqual(pwszA.get(), pwszB.get());
}

WCHAR* NewAnsiUpperWide(const char* psz) { return psz ? UpperWide(psz).release() : nullptr; }

CFoldedAnsi::CFoldedAnsi(const char* psz) : m_pwsz(nullptr) {
  if (!psz) return;
  // Every ANSI code page of Windows keeps the ASCII characters as they are, and the system's
  // table folds a-z to A-Z and leaves every other ASCII character alone.
  const size_t cchShort = sizeof(m_wszShort) / sizeof(m_wszShort[0]);
  size_t i = 0;
  for (; i < cchShort && static_cast<BYTE>(psz[i]) < 0x80; ++i) {
    const char ch = psz[i];
    m_wszShort[i] = (ch >= 'a' && ch <= 'z') ? static_cast<WCHAR>(ch - 'a' + 'A') : static_cast<WCHAR>(ch);
    if (!ch) {
      m_pwsz = m_wszShort;
      return;
    }
  }
  // A character beyond ASCII, or a long text: the system converts and folds it.
  const int cch = MultiByteToWideChar(CP_ACP, 0, psz, -1, m_wszShort, static_cast<int>(cchShort));
  if (cch > 0) {
    if (FoldWide(m_wszShort, cch)) m_pwsz = m_wszShort;
    return;
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;
  m_pwszLong = UpperWide(psz);
  m_pwsz = m_pwszLong.get();
}

bool CFoldedAnsi::Equals(const WCHAR* pwszFolded) const { return m_pwsz && pwszFolded && WideEqual(m_pwsz, pwszFolded); }

size_t NarrowWideNameLength(const WCHAR* pwszName) {
  size_t cch = 0;
  if (pwszName)
    while (pwszName[cch] && static_cast<DWORD>(pwszName[cch]) <= 0xFF) ++cch;
  return cch;
}

size_t NarrowWideName(const WCHAR* pwszName, char* pszNarrow, size_t cchNarrow) {
  if (!pszNarrow || cchNarrow == 0) return 0;
  size_t cch = NarrowWideNameLength(pwszName);
  if (cch > cchNarrow - 1) cch = cchNarrow - 1;
  for (size_t i = 0; i < cch; ++i) pszNarrow[i] = static_cast<char>(static_cast<BYTE>(pwszName[i]));
  pszNarrow[cch] = '\0';
  return cch;
}

namespace {

DWORD FoldAscii(WCHAR c) {
  DWORD dw = static_cast<DWORD>(c);
  return (dw >= 'A' && dw <= 'Z') ? dw - 'A' + 'a' : dw;
}

}  // namespace

bool WideEqualNoCaseAscii(const WCHAR* pwszA, const WCHAR* pwszB) {
  if (!pwszA || !pwszB) return false;
  for (;; ++pwszA, ++pwszB) {
    if (FoldAscii(*pwszA) != FoldAscii(*pwszB)) return false;
    if (!*pwszA) return true;
  }
}

namespace {

// The next character of an ANSI text: two bytes for a double-byte character of the code page.
const char* NextAnsiChar(const char* p) { return (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1]) ? p + 2 : p + 1; }

}  // namespace

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

char* NextListEntry(char** ppszCursor) {
  char* p = *ppszCursor;
  for (;;) {
    // Blanks and tabs around a name are no part of it; what is empty without them is no name.
    while (*p == ',' || IsBlank(*p)) ++p;
    if (!*p) {
      *ppszCursor = p;
      return nullptr;
    }
    char* pszEntry = p;
    char* pszEnd = p;  // past the last character that is no blank
    while (*p && *p != ',') {
      const bool bBlank = IsBlank(*p);
      p = const_cast<char*>(NextAnsiChar(p));
      if (!bBlank) pszEnd = p;
    }
    if (*p == ',') ++p;
    *pszEnd = '\0';
    *ppszCursor = p;
    return pszEntry;
  }
}

bool AnsiHasChar(const char* psz, char c) {
  if (!psz) return false;
  for (; *psz; psz = NextAnsiChar(psz))
    if (*psz == c) return true;
  return false;
}
