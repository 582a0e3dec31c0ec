#include "adapters/AdapterInfo.h"
#include "common/Text.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

tSupportedDriverArray* CAdapterInfo::s_pSupportedDriverArray;

tSupportedDriverArray::~tSupportedDriverArray() {
  if (ppszDriver) {
    for (DWORD i = 0; i < dwCount; ++i) delete[] ppszDriver[i];
    delete[] ppszDriver;
  }
  if (ppwszFolded) {
    for (DWORD i = 0; i < dwCount; ++i) delete[] ppwszFolded[i];
    delete[] ppwszFolded;
  }
}

ErrorCode CAdapterInfo::CreateSupportedDriverInfo(const char* pszDrivers) {
  if (!pszDrivers) return ecBadParameter;
  const size_t cbText = strlen(pszDrivers) + 1;
  std::unique_ptr<char[]> pszScratch(new (std::nothrow) char[cbText]);
  if (!pszScratch) return ecOutOfMemory;

  memcpy(pszScratch.get(), pszDrivers, cbText);
  DWORD dwTokens = 0;
  for (char* pszCursor = pszScratch.get(); NextListEntry(&pszCursor);) ++dwTokens;

  DeleteSupportedDriverInfo(nullptr);

  tSupportedDriverArray* pList = new (std::nothrow) tSupportedDriverArray{0, nullptr, nullptr};
  if (!pList) return ecOutOfMemory;
  s_pSupportedDriverArray = pList;
  pList->ppszDriver = new (std::nothrow) char*[dwTokens ? dwTokens : 1];
  pList->ppwszFolded = new (std::nothrow) WCHAR*[dwTokens ? dwTokens : 1]();
  if (!pList->ppszDriver || !pList->ppwszFolded) return ecOutOfMemory;

  // Cutting the names overwrote the first copy.
  memcpy(pszScratch.get(), pszDrivers, cbText);
  char* pszCursor = pszScratch.get();
  for (char* pszName; pList->dwCount < dwTokens && (pszName = NextListEntry(&pszCursor));) {
    const size_t cbName = strlen(pszName) + 1;
    std::unique_ptr<char[]> pszCopy(new (std::nothrow) char[cbName]);
    if (!pszCopy) return ecOutOfMemory;
    memcpy(pszCopy.get(), pszName, cbName);
    // A name whose case-blind form cannot be made could never match: that is a failure.
    std::unique_ptr<WCHAR[]> pwszFolded(NewAnsiUpperWide(pszCopy.get()));
    if (!pwszFolded) return ecOutOfMemory;
    pList->ppwszFolded[pList->dwCount] = pwszFolded.release();
    pList->ppszDriver[pList->dwCount++] = pszCopy.release();
  }
  return ecNoError;
}

ErrorCode CAdapterInfo::DeleteSupportedDriverInfo(tSupportedDriverArray** ppList) {
  tSupportedDriverArray** ppTarget = ppList ? ppList : &s_pSupportedDriverArray;
  if (!*ppTarget) return ecBadParameter;
  std::unique_ptr<tSupportedDriverArray> pList(*ppTarget);
  *ppTarget = nullptr;
  return ecNoError;
}

bool CAdapterInfo::IsListed(const tSupportedDriverArray* pList, const char* pszDriver) {
  if (!pList || !pList->ppwszFolded || !pszDriver) return false;
  // The name is folded once; the entries were folded with the list.
  const CFoldedAnsi name(pszDriver);
  for (DWORD i = 0; i < pList->dwCount; ++i)
    if (name.Equals(pList->ppwszFolded[i])) return true;
  return false;
}

bool CAdapterInfo::IsEvtSrcSupported(const char* pszDriver) { return IsListed(s_pSupportedDriverArray, pszDriver); }

void CAdapterInfo::GetSupportedDrivers(char* pszList, size_t cchList) {
  if (!pszList || cchList == 0) return;
  pszList[0] = '\0';
  const tSupportedDriverArray* pList = s_pSupportedDriverArray;
  size_t cchUsed = 0;
  for (DWORD i = 0; pList && pList->ppszDriver && i < pList->dwCount; ++i) {
    const int n = snprintf(pszList + cchUsed, cchList - cchUsed, "%s%s", i ? "," : "", pList->ppszDriver[i]);
    if (n < 0 || static_cast<size_t>(n) >= cchList - cchUsed) break;
    cchUsed += static_cast<size_t>(n);
  }
}
