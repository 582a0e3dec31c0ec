#include "adapters/AdapterInfo.h"
#include "common/Text.h"

#include <cstring>
#include <memory>
#include <new>

tSupportedDriverArray* CAdapterInfo::s_pSupportedDriverArray;

namespace {

void FreeList(tSupportedDriverArray* pList) {
  if (pList->ppszDriver) {
    for (DWORD i = 0; i < pList->dwCount; ++i) delete[] pList->ppszDriver[i];
    delete[] pList->ppszDriver;
  }
  delete pList;
}

}  // namespace

ErrorCode CAdapterInfo::CreateSupportedDriverInfo(const char* pszDrivers) {
  if (!pszDrivers) return ecBadParameter;
  const size_t cbText = strlen(pszDrivers) + 1;
  std::unique_ptr<char[]> pszScratch(new (std::nothrow) char[cbText]);
  if (!pszScratch) return ecOutOfMemory;

  memcpy(pszScratch.get(), pszDrivers, cbText);
  DWORD dwTokens = 0;
  for (char* pszCursor = pszScratch.get(); NextListEntry(&pszCursor);) ++dwTokens;

  DeleteSupportedDriverInfo(nullptr);

  tSupportedDriverArray* pList = new (std::nothrow) tSupportedDriverArray{0, nullptr};
  if (!pList) return ecOutOfMemory;
  s_pSupportedDriverArray = pList;
  pList->ppszDriver = new (std::nothrow) char*[dwTokens ? dwTokens : 1];
  if (!pList->ppszDriver) return ecOutOfMemory;

  // Cutting the names overwrote the first copy.
  memcpy(pszScratch.get(), pszDrivers, cbText);
  char* pszCursor = pszScratch.get();
  for (char* pszName; pList->dwCount < dwTokens && (pszName = NextListEntry(&pszCursor));) {
    const size_t cbName = strlen(pszName) + 1;
    char* pszCopy = new (std::nothrow) char[cbName];
    if (!pszCopy) return ecOutOfMemory;
    memcpy(pszCopy, pszName, cbName);
    pList->ppszDriver[pList->dwCount++] = pszCopy;
  }
  return ecNoError;
}

ErrorCode CAdapterInfo::DeleteSupportedDriverInfo(tSupportedDriverArray** ppList) {
  tSupportedDriverArray** ppTarget = ppList ? ppList : &s_pSupportedDriverArray;
  if (!*ppTarget) return ecBadParameter;
  FreeList(*ppTarget);
  *ppTarget = nullptr;
  return ecNoError;
}

bool CAdapterInfo::IsListed(const tSupportedDriverArray* pList, const char* pszDriver) {
  if (!pList || !pList->ppszDriver || !pszDriver) return false;
  for (DWORD i = 0; i < pList->dwCount; ++i)
    if (AnsiEqualNoCase(pList->ppszDriver[i], pszDriver)) return true;
  return false;
}

bool CAdapterInfo::IsEvtSrcSupported(const char* pszDriver) { return IsListed(s_pSupportedDriverArray, pszDriver); }
