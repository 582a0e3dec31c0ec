#include "common/Text.h"

#include <memory>
#include <new>

namespace {

// The wide form of an ANSI text in the system ANSI code page, or null.
std::unique_ptr<WCHAR[]> WidenAnsi(const char* psz) {
  int cch = MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
  if (cch <= 0) return nullptr;
  std::unique_ptr<WCHAR[]> pwsz(new (std::nothrow) WCHAR[cch]);
  if (pwsz && MultiByteToWideChar(CP_ACP, 0, psz, -1, pwsz.get(), cch) != cch) pwsz.reset();
  return pwsz;
}

}  // namespace

bool AnsiEqualNoCase(const char* pszA, const char* pszB) {
  if (!pszA || !pszB) return false;
  // Through Unicode: the conversion knows the code page's character boundaries, and the
  // ordinal case-blind comparison uses the system's own upper-case table.
  std::unique_ptr<WCHAR[]> pwszA = WidenAnsi(pszA);
  std::unique_ptr<WCHAR[]> pwszB = WidenAnsi(pszB);
  if (!pwszA || !pwszB) return false;
  return CompareStringOrdinal(pwszA.get(), -1, pwszB.get(), -1, TRUE) == CSTR_EQUAL;
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
