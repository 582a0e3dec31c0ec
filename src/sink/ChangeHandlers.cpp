// The handlers that keep the query registrations in step with the driver's classes and the
// machine's controllers, and that keep each query's state honest when WMI ends it.
#include "sink/WbemSink.h"

#include "adapters/AdapterInfo.h"
#include "service/ServiceUtil.h"
#include "wmi/WMIService.h"

namespace {

// The running service object, held for the length of one handler call; empty once the stop has
// begun.
class CServiceRef {
 public:
  CServiceRef() : m_pService(CWMIServiceUtil::AcquireWMIService()) {}
  ~CServiceRef() {
    if (m_pService) m_pService->Release();
  }
  CServiceRef(const CServiceRef&) = delete;
  CServiceRef& operator=(const CServiceRef&) = delete;

  CWMIService* operator->() const { return m_pService; }
  CWMIService* Get() const { return m_pService; }
  explicit operator bool() const { return m_pService != nullptr; }

 private:
  CWMIService* m_pService;
};

// Registers each row in nsWMI that is not active yet, in order, whatever the previous results.
template <size_t N>
void Register(CServiceRef& service, const EQueryEvent (&rows)[N]) {
  for (EQueryEvent row : rows) {
    EQueryStatus status = qsUnknown;
    service->ExecQueryAsync(nsWMI, row, qoConditional, &status);
  }
}

// The rows whose events need each of the driver's classes: the message query and the instance
// queries need Talvenix_AdapterPrintf (the driver's message classes come and go with it), the
// host-time query and its instance queries Talvenix_SetHostTime.
const EQueryEvent c_rgNeedAdapterPrintf[] = {qEAdapterPrintfNotification, qICreateAdapterPrintf,
                                             qIDeleteAdapterPrintf};
const EQueryEvent c_rgNeedSetHostTime[] = {qEHostTimeRequest, qICreateSetHostTime, qIDeleteSetHostTime};

typedef ErrorCode (CWMIService::*StaleOperation)(ENameSpace, EQueryEvent, DWORD, EQueryStatus*);

// Applies one of the operations on registrations older than the event being handled to each row.
template <size_t N>
void ForStale(CServiceRef& service, const EQueryEvent (&rows)[N], StaleOperation pfnOperation) {
  const DWORD dwLastStale = CWbemSink::LastRegistrationBeforeEvent();
  for (EQueryEvent row : rows) {
    EQueryStatus status = qsUnknown;
    (service.Get()->*pfnOperation)(nsWMI, row, dwLastStale, &status);
  }
}

// The class of these rows was deleted after their registrations older than the event being
// handled were made: WMI delivers nothing more to those, whether or not it said so.
// Registrations made after the event was delivered (the class back already) are left alone.
template <size_t N>
void EndStale(CServiceRef& service, const EQueryEvent (&rows)[N]) {
  ForStale(service, rows, &CWMIService::EndStaleRegistration);
}

// The class of these rows was created after their registrations older than the event being
// handled were made. Such a registration may belong to an earlier life of the class that ended
// without a deletion event (WMI polls, and ends subscriptions silently): each is registered anew
// before the old one is cancelled, so that a live one loses nothing.
template <size_t N>
void RefreshStale(CServiceRef& service, const EQueryEvent (&rows)[N]) {
  ForStale(service, rows, &CWMIService::RefreshRegistration);
}

bool ClassExists(IWbemServices* pServices, const wchar_t* pwszClass) {
  if (!pServices) return false;
  CComRef<IWbemClassObject> pClass;
  CBSTR bstrClass(pwszClass);
  return bstrClass.Get() && SUCCEEDED(pServices->GetObject(bstrClass.Get(), 0, nullptr, pClass.Put(), nullptr));
}

// A class went away: its rows end, and the creation query stays registered to see it come
// back. If it is back already (a reload quicker than its events), its rows are registered again
// now, as no creation event may follow.
template <size_t N>
void FollowClassDeletion(IWbemServices* pServices, const wchar_t* pwszClass, EQueryEvent creationQuery,
                         const EQueryEvent (&rows)[N]) {
  CServiceRef service;
  if (!service) return;
  EndStale(service, rows);
  const EQueryEvent creation[] = {creationQuery};
  Register(service, creation);
  if (ClassExists(pServices, pwszClass)) Register(service, rows);
}

const EQueryEvent c_rgMessageAndTime[] = {qEAdapterPrintfNotification, qEHostTimeRequest};

// A final status ends the registration it belongs to, whatever its code; a progress report
// ends nothing.
HRESULT OnStatus(ENameSpace ns, EQueryEvent query, DWORD dwRegistration, LONG lFlags) {
  if (lFlags != WBEM_STATUS_COMPLETE) return WBEM_S_NO_ERROR;
  CServiceRef service;
  if (service) service->EndRegistration(ns, query, dwRegistration);
  return WBEM_S_NO_ERROR;
}

}  // namespace

HRESULT CWbemSink::IndCCreateAdapterPrintf(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service) {
    RefreshStale(service, c_rgNeedAdapterPrintf);
    const EQueryEvent rows[] = {qCDeleteAdapterPrintf, qICreateAdapterPrintf, qIDeleteAdapterPrintf,
                                qICreateSetHostTime,   qIDeleteSetHostTime,   qEAdapterPrintfNotification,
                                qEHostTimeRequest};
    Register(service, rows);
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndCDeleteAdapterPrintf(IWbemServices* pServices, IWbemClassObject*) {
  FollowClassDeletion(pServices, L"Talvenix_AdapterPrintf", qCCreateAdapterPrintf, c_rgNeedAdapterPrintf);
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndICreateAdapterPrintf(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service && CAdapterInfo::GetIsSupDriverInstalled()) Register(service, c_rgMessageAndTime);
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndIDeleteAdapterPrintf(IWbemServices*, IWbemClassObject*) { return WBEM_S_NO_ERROR; }

HRESULT CWbemSink::IndCCreateSetHostTime(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service) {
    RefreshStale(service, c_rgNeedSetHostTime);
    // The driver's classes appear one after another: this may be the first creation after
    // which the message query can be registered.
    const EQueryEvent rows[] = {qCDeleteSetHostTime, qICreateSetHostTime, qIDeleteSetHostTime, qEHostTimeRequest,
                                qEAdapterPrintfNotification};
    Register(service, rows);
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndCDeleteSetHostTime(IWbemServices* pServices, IWbemClassObject*) {
  FollowClassDeletion(pServices, L"Talvenix_SetHostTime", qCCreateSetHostTime, c_rgNeedSetHostTime);
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndICreateSetHostTime(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service && CAdapterInfo::GetIsSupDriverInstalled()) {
    const EQueryEvent rows[] = {qEHostTimeRequest, qEAdapterPrintfNotification};
    Register(service, rows);
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndIDeleteSetHostTime(IWbemServices*, IWbemClassObject*) { return WBEM_S_NO_ERROR; }

HRESULT CWbemSink::IndICreateWin32ScsiController(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service) service->FollowControllers(true);
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndIDeleteWin32ScsiController(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service) service->FollowControllers(false);
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::SsEAdapterPrintfNotification(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qEAdapterPrintfNotification, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsCCreateAdapterPrintf(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qCCreateAdapterPrintf, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsCDeleteAdapterPrintf(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qCDeleteAdapterPrintf, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsICreateAdapterPrintf(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qICreateAdapterPrintf, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsIDeleteAdapterPrintf(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qIDeleteAdapterPrintf, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsEHostTimeRequest(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qEHostTimeRequest, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsCCreateSetHostTime(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qCCreateSetHostTime, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsCDeleteSetHostTime(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qCDeleteSetHostTime, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsICreateSetHostTime(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qICreateSetHostTime, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsIDeleteSetHostTime(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qIDeleteSetHostTime, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsICreateWin32ScsiController(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsCIMV2, qICreateWin32ScsiController, dwRegistration, lFlags);
}
HRESULT CWbemSink::SsIDeleteWin32ScsiController(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  return OnStatus(nsCIMV2, qIDeleteWin32ScsiController, dwRegistration, lFlags);
}
