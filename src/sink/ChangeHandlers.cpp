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

template <size_t N>
void Cancel(CServiceRef& service, const EQueryEvent (&rows)[N]) {
  for (EQueryEvent row : rows) {
    EQueryStatus status = qsUnknown;
    service->CancelQueryAsync(nsWMI, row, qoConditional, &status);
  }
}

const EQueryEvent c_rgMessageAndTime[] = {qEAdapterPrintfNotification, qEHostTimeRequest};

// A query WMI itself cancelled is no longer active; the next conditional registration of that
// row registers it again.
HRESULT OnStatus(ENameSpace ns, EQueryEvent query, HRESULT hResult) {
  if (hResult != static_cast<HRESULT>(WBEM_E_CALL_CANCELLED)) return WBEM_S_NO_ERROR;
  CServiceRef service;
  if (service && service->GetQueryStatus(ns, query) == qsActive) service->SetQueryStatus(ns, query, qsInactive);
  return WBEM_S_NO_ERROR;
}

}  // namespace

HRESULT CWbemSink::IndCCreateAdapterPrintf(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service) {
    const EQueryEvent rows[] = {qCDeleteAdapterPrintf, qICreateAdapterPrintf, qIDeleteAdapterPrintf,
                                qICreateSetHostTime,   qIDeleteSetHostTime,   qEAdapterPrintfNotification,
                                qEHostTimeRequest};
    Register(service, rows);
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndCDeleteAdapterPrintf(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service) {
    const EQueryEvent rows[] = {qCCreateAdapterPrintf};
    Register(service, rows);
  }
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
    const EQueryEvent rows[] = {qCDeleteSetHostTime, qEHostTimeRequest};
    Register(service, rows);
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndCDeleteSetHostTime(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service) {
    const EQueryEvent rows[] = {qCCreateSetHostTime};
    Register(service, rows);
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndICreateSetHostTime(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service && CAdapterInfo::GetIsSupDriverInstalled()) {
    const EQueryEvent rows[] = {qEHostTimeRequest};
    Register(service, rows);
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndIDeleteSetHostTime(IWbemServices*, IWbemClassObject*) { return WBEM_S_NO_ERROR; }

HRESULT CWbemSink::IndICreateWin32ScsiController(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service) {
    service->RescanAdapters();
    if (CAdapterInfo::GetIsSupDriverInstalled()) Register(service, c_rgMessageAndTime);
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::IndIDeleteWin32ScsiController(IWbemServices*, IWbemClassObject*) {
  CServiceRef service;
  if (service) {
    service->RescanAdapters();
    if (!CAdapterInfo::GetIsSupDriverInstalled()) Cancel(service, c_rgMessageAndTime);
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::SsEAdapterPrintfNotification(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qEAdapterPrintfNotification, hResult);
}
HRESULT CWbemSink::SsCCreateAdapterPrintf(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qCCreateAdapterPrintf, hResult);
}
HRESULT CWbemSink::SsCDeleteAdapterPrintf(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qCDeleteAdapterPrintf, hResult);
}
HRESULT CWbemSink::SsICreateAdapterPrintf(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qICreateAdapterPrintf, hResult);
}
HRESULT CWbemSink::SsIDeleteAdapterPrintf(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qIDeleteAdapterPrintf, hResult);
}
HRESULT CWbemSink::SsEHostTimeRequest(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qEHostTimeRequest, hResult);
}
HRESULT CWbemSink::SsCCreateSetHostTime(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qCCreateSetHostTime, hResult);
}
HRESULT CWbemSink::SsCDeleteSetHostTime(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qCDeleteSetHostTime, hResult);
}
HRESULT CWbemSink::SsICreateSetHostTime(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qICreateSetHostTime, hResult);
}
HRESULT CWbemSink::SsIDeleteSetHostTime(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsWMI, qIDeleteSetHostTime, hResult);
}
HRESULT CWbemSink::SsICreateWin32ScsiController(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsCIMV2, qICreateWin32ScsiController, hResult);
}
HRESULT CWbemSink::SsIDeleteWin32ScsiController(LONG, HRESULT hResult, BSTR, IWbemClassObject*) {
  return OnStatus(nsCIMV2, qIDeleteWin32ScsiController, hResult);
}
