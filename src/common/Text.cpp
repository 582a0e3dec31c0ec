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
