#include "service/ServiceUtil.h"

#include "common/ComTypes.h"
#include "common/Lock.h"
#include "wmi/WMIService.h"

#include <cstring>

tServiceInfo CWMIServiceUtil::s_ServiceInfo;
CWMIService* volatile CWMIServiceUtil::s_pWMIService;

namespace {

// Guards the publication of the service pointer against a reader taking its reference. Never
// destroyed: handlers on other threads may still look the service up during exit.
CCriticalSection& PublicationLock() {
  static CCriticalSection* s_pLock = new CCriticalSection;
  return *s_pLock;
}

ErrorCode StoreName(char* pszField, size_t cchField, const char* pszText) {
  if (!pszText || !*pszText) return ecNoError;
  size_t cch = strlen(pszText);
  if (cch >= cchField) return ecBadParameter;
  memcpy(pszField, pszText, cch + 1);
  return ecNoError;
}

}  // namespace

ErrorCode CWMIServiceUtil::SetFullPathName(const char* pszFullPathName) {
  return StoreName(s_ServiceInfo.szFullPathName, sizeof(s_ServiceInfo.szFullPathName), pszFullPathName);
}

ErrorCode CWMIServiceUtil::SetServiceName(const char* pszServiceName) {
  return StoreName(s_ServiceInfo.szServiceName, sizeof(s_ServiceInfo.szServiceName), pszServiceName);
}

ErrorCode CWMIServiceUtil::SetDisplayName(const char* pszDisplayName) {
  return StoreName(s_ServiceInfo.szDisplayName, sizeof(s_ServiceInfo.szDisplayName), pszDisplayName);
}

const char* CWMIServiceUtil::GetServiceName() { return s_ServiceInfo.szServiceName; }

const char* CWMIServiceUtil::GetDisplayName() { return s_ServiceInfo.szDisplayName; }

CWMIService* CWMIServiceUtil::GetWMIService() {
  // An interlocked read: the stop sequence clears the pointer on another thread.
  return static_cast<CWMIService*>(
      InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&s_pWMIService), nullptr, nullptr));
}

CWMIService* CWMIServiceUtil::AcquireWMIService() {
  CLockGuard lock(PublicationLock());
  CWMIService* pService = GetWMIService();
  if (pService) pService->AddRef();
  return pService;
}

void CWMIServiceUtil::SetWMIService(CWMIService* pService) {
  if (pService) pService->AddRef();
  CComRef<CWMIService> pOld;
  {
    CLockGuard lock(PublicationLock());
    pOld = CComRef<CWMIService>(static_cast<CWMIService*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&s_pWMIService), pService)));
  }
}
