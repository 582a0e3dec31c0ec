#include "common/Text.h"

#include <memory>
#include <new>

namespace {

// The upper-case wide form of an ANSI text in the system ANSI code page, or null. Without
// LCMAP_LINGUISTIC_CASING the mapping is the locale-independent one that file names use, so a
// name folds the same on every system; it exists on every Windows, unlike
// CompareStringOrdinal.
std::unique_ptr<WCHAR[]> UpperWide(const char* psz) {
  int cch = MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
  if (cch <= 0) return nullptr;
  std::unique_ptr<WCHAR[]> pwsz(new (std::nothrow) WCHAR[cch]);
  if (pwsz && (MultiByteToWideChar(CP_ACP, 0, psz, -1, pwsz.get(), cch) != cch ||
               LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, pwsz.get(), cch, pwsz.get(), cch) != cch))
    pwsz.reset();
  return pwsz;
}

}  // namespace

bool AnsiEqualNoCase(const char* pszA, const char* pszB) {
  if (!pszA || !pszB) return false;
  // Through Unicode: the conversion knows the code page's character boundaries, and the
  // system's own upper-case table folds the letters; the upper-cased texts then compare
  // character by character, as an ordinal comparison does.
  std::unique_ptr<WCHAR[]> pwszA = UpperWide(pszA);
  std::unique_ptr<WCHAR[]> pwszB = UpperWide(pszB);
  if (!pwszA || !pwszB) return false;
  const WCHAR* pa = pwszA.get();
  const WCHAR* pb = pwszB.get();
  for (; *pa == *pb; ++pa, ++pb)
    if (!*pa) return true;
  return false;
}

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

char* NextListEntry(char** ppszCursor) {
  char* p = *ppszCursor;
  while (*p == ',') ++p;
  if (!*p) {
    *ppszCursor = p;
    return nullptr;
  }
  char* pszEntry = p;
  while (*p && *p != ',') p = const_cast<char*>(NextAnsiChar(p));
  if (*p == ',') *p++ = '\0';
  *ppszCursor = p;
  return pszEntry;
}

bool AnsiHasChar(const char* psz, char c) {
  if (!psz) return false;
  for (; *psz; psz = NextAnsiChar(psz))
    if (*psz == c) return true;
  return false;
}
