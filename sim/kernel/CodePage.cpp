// The simulated host's ANSI code page, 1252, and the system's case mapping (the
// locale-independent one that file names use) of the characters it can hold.
#include "internal/Sim.h"

#include <string>
#include <vector>

namespace {

// Code points of bytes 0x80 to 0x9F in code page 1252; the five unassigned bytes map to the C1
// control of the same value, as Windows maps them.
const WCHAR kHigh1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                             0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                             0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                             0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

WCHAR Decode(unsigned char b) { return b >= 0x80 && b <= 0x9F ? kHigh1252[b - 0x80] : static_cast<WCHAR>(b); }

bool Encode(WCHAR w, char* pOut) {
  if (w < 0x80 || (w >= 0xA0 && w <= 0xFF)) {
    *pOut = static_cast<char>(w);
    return true;
  }
  for (int i = 0; i < 32; ++i)
    if (kHigh1252[i] == w) {
      *pOut = static_cast<char>(0x80 + i);
      return true;
    }
  return false;
}

// Upper case of the letters that code page 1252 and Latin-1 hold.
WCHAR Upper(WCHAR w) {
  if (w >= 'a' && w <= 'z') return static_cast<WCHAR>(w - 0x20);
  if (w >= 0xE0 && w <= 0xFE && w != 0xF7) return static_cast<WCHAR>(w - 0x20);
  switch (w) {
    case 0xFF: return 0x178;
    case 0xB5: return 0x39C;
    case 0x161: return 0x160;
    case 0x153: return 0x152;
    case 0x17E: return 0x17D;
    case 0x192: return 0x191;
    default: return w;
  }
}

// Lower case: the inverse of Upper.
WCHAR Lower(WCHAR w) {
  if (w >= 'A' && w <= 'Z') return static_cast<WCHAR>(w + 0x20);
  if (w >= 0xC0 && w <= 0xDE && w != 0xD7) return static_cast<WCHAR>(w + 0x20);
  switch (w) {
    case 0x178: return 0xFF;
    case 0x39C: return 0x3BC;
    case 0x160: return 0x161;
    case 0x152: return 0x153;
    case 0x17D: return 0x17E;
    case 0x191: return 0x192;
    default: return w;
  }
}

bool IsAnsi(UINT cp) { return cp == CP_ACP || cp == 1252; }

// The locales the simulated host knows: the defaults, the invariant one and English (US).
bool IsKnownLocale(LCID lcid) {
  return lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_INVARIANT || lcid == 0x409;
}

}  // namespace

UINT WINAPI GetACP() { return 1252; }

BOOL WINAPI IsDBCSLeadByte(BYTE) { return FALSE; }

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD, LPCCH lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                               int cchWideChar) {
  if (auto f = ksim::detail::Enter("MultiByteToWideChar")) {
    SetLastError(f->lastError);
    return 0;
  }
  if (!IsAnsi(CodePage) || !lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 ||
      (cchWideChar > 0 && !lpWideCharStr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = cbMultiByte < 0 ? std::char_traits<char>::length(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  if (cchWideChar == 0) return static_cast<int>(n);
  if (n > static_cast<size_t>(cchWideChar)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; i < n; ++i) lpWideCharStr[i] = Decode(static_cast<unsigned char>(lpMultiByteStr[i]));
  return static_cast<int>(n);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD, LPCWCH lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                               int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (auto f = ksim::detail::Enter("WideCharToMultiByte")) {
    SetLastError(f->lastError);
    return 0;
  }
  if (!IsAnsi(CodePage) || !lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && !lpMultiByteStr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = cchWideChar < 0 ? std::char_traits<WCHAR>::length(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
  if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
  if (cbMultiByte == 0) return static_cast<int>(n);
  if (n > static_cast<size_t>(cbMultiByte)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; i < n; ++i) {
    if (!Encode(lpWideCharStr[i], &lpMultiByteStr[i])) {
      lpMultiByteStr[i] = lpDefaultChar ? *lpDefaultChar : '?';
      if (lpUsedDefaultChar) *lpUsedDefaultChar = TRUE;
    }
  }
  return static_cast<int>(n);
}

int WINAPI LCMapStringW(LCID Locale, DWORD dwMapFlags, LPCWSTR lpSrcStr, int cchSrc, LPWSTR lpDestStr, int cchDest) {
  if (auto f = ksim::detail::Enter("LCMapStringW")) {
    SetLastError(f->lastError);
    return 0;
  }
  if (!lpSrcStr || cchSrc == 0 || cchDest < 0 || (cchDest > 0 && !lpDestStr) || !IsKnownLocale(Locale)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Case mapping alone, one direction at a time; the other mappings are not simulated.
  if (dwMapFlags != LCMAP_UPPERCASE && dwMapFlags != LCMAP_LOWERCASE) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t n = cchSrc < 0 ? std::char_traits<WCHAR>::length(lpSrcStr) + 1 : static_cast<size_t>(cchSrc);
  if (cchDest == 0) return static_cast<int>(n);
  if (n > static_cast<size_t>(cchDest)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Source and destination may be the same buffer: each character is read before it is written.
  for (size_t i = 0; i < n; ++i) lpDestStr[i] = dwMapFlags == LCMAP_UPPERCASE ? Upper(lpSrcStr[i]) : Lower(lpSrcStr[i]);
  return static_cast<int>(n);
}
