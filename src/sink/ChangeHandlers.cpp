// The handlers that keep the query registrations in step with the driver's classes and the
// machine's controllers, and that keep each query's state honest when WMI ends it.
#include "sink/WbemSink.h"

#include "adapters/AdapterInfo.h"
#include "service/ServiceUtil.h"
#include "wmi/WMIService.h"

namespace {

// The running service object, held for the length of one handler call; empty once the stop has
// begun.
CComRef<CWMIService> AcquireService() { return CComRef<CWMIService>(CWMIServiceUtil::AcquireWMIService()); }

// A list of rows of the nsWMI query table.
struct tRows {
  const EQueryEvent* pRows;
  size_t cRows;
};
template <size_t N>
constexpr tRows Rows(const EQueryEvent (&rows)[N]) {
  return {rows, N};
}
const tRows c_rowsNone = {nullptr, 0};

// What a change of the driver's classes or of the machine's controllers does to the queries.
enum EStale {
  // Nothing is done to older registrations.
  stNone,
  // The class of these rows was deleted after their registrations older than the event being
  // handled were made: WMI delivers nothing more to those, whether or not it said so; they end.
  // Registrations made after the event was delivered (the class back already) are left alone.
  stEnd,
  // The class of these rows was created after their registrations older than the event being
  // handled were made. Such a registration may belong to an earlier life of the class that ended
  // without a deletion event (WMI polls, and ends subscriptions silently): each is registered
  // anew before the old one is cancelled, so that a live one loses nothing.
  stRefresh,
};
enum EControllers { ctNone, ctArrived, ctLeft };

struct tChangeRule {
  EStale eStale;
  tRows stale;  // the rows stale registrations are looked for in
  tRows reg;    // then registered in order where not active, whatever the previous results
  // A deleted class that is back already (a reload quicker than its events): the stale rows are
  // registered again at once, as no creation event may follow.
  const wchar_t* pwszClassBack;
  bool bNeedSupported;        // nothing is done unless a supported controller is present
  EControllers eControllers;  // rescans the adapter table and follows the controllers
};

// The rows whose events need each of the driver's classes: the message query and the instance
// queries need Talvenix_AdapterPrintf (the driver's message classes come and go with it), the
// host-time query and its instance queries Talvenix_SetHostTime.
const EQueryEvent c_rgNeedAdapterPrintf[] = {qEAdapterPrintfNotification, qICreateAdapterPrintf,
                                             qIDeleteAdapterPrintf};
const EQueryEvent c_rgNeedSetHostTime[] = {qEHostTimeRequest, qICreateSetHostTime, qIDeleteSetHostTime};
const EQueryEvent c_rgAfterCreateAdapterPrintf[] = {
    qCDeleteAdapterPrintf, qICreateAdapterPrintf, qIDeleteAdapterPrintf, qICreateSetHostTime,
    qIDeleteSetHostTime,   qEAdapterPrintfNotification, qEHostTimeRequest};
// The driver's classes appear one after another: this may be the first creation after which
// the message query can be registered.
const EQueryEvent c_rgAfterCreateSetHostTime[] = {qCDeleteSetHostTime, qICreateSetHostTime, qIDeleteSetHostTime,
                                                  qEHostTimeRequest, qEAdapterPrintfNotification};
// The creation query of a class stays registered to see it come back.
const EQueryEvent c_rgCreateAdapterPrintf[] = {qCCreateAdapterPrintf};
const EQueryEvent c_rgCreateSetHostTime[] = {qCCreateSetHostTime};
const EQueryEvent c_rgMessageAndTime[] = {qEAdapterPrintfNotification, qEHostTimeRequest};
const EQueryEvent c_rgTimeAndMessage[] = {qEHostTimeRequest, qEAdapterPrintfNotification};

enum EChange {
  chCCreateAdapterPrintf,
  chCDeleteAdapterPrintf,
  chICreateAdapterPrintf,
  chIDeleteAdapterPrintf,
  chCCreateSetHostTime,
  chCDeleteSetHostTime,
  chICreateSetHostTime,
  chIDeleteSetHostTime,
  chICreateWin32ScsiController,
  chIDeleteWin32ScsiController,
  chCount,
};

const tChangeRule c_rgChangeRules[chCount] = {
    /* chCCreateAdapterPrintf */ {stRefresh, Rows(c_rgNeedAdapterPrintf), Rows(c_rgAfterCreateAdapterPrintf),
                                  nullptr, false, ctNone},
    /* chCDeleteAdapterPrintf */ {stEnd, Rows(c_rgNeedAdapterPrintf), Rows(c_rgCreateAdapterPrintf),
                                  L"Talvenix_AdapterPrintf", false, ctNone},
    /* chICreateAdapterPrintf */ {stNone, c_rowsNone, Rows(c_rgMessageAndTime), nullptr, true, ctNone},
    /* chIDeleteAdapterPrintf */ {stNone, c_rowsNone, c_rowsNone, nullptr, false, ctNone},
    /* chCCreateSetHostTime */ {stRefresh, Rows(c_rgNeedSetHostTime), Rows(c_rgAfterCreateSetHostTime), nullptr,
                                false, ctNone},
    /* chCDeleteSetHostTime */ {stEnd, Rows(c_rgNeedSetHostTime), Rows(c_rgCreateSetHostTime),
                                L"Talvenix_SetHostTime", false, ctNone},
    /* chICreateSetHostTime */ {stNone, c_rowsNone, Rows(c_rgTimeAndMessage), nullptr, true, ctNone},
    /* chIDeleteSetHostTime */ {stNone, c_rowsNone, c_rowsNone, nullptr, false, ctNone},
    /* chICreateWin32ScsiController */ {stNone, c_rowsNone, c_rowsNone, nullptr, false, ctArrived},
    /* chIDeleteWin32ScsiController */ {stNone, c_rowsNone, c_rowsNone, nullptr, false, ctLeft},
};

void Register(CWMIService& service, tRows rows) {
  for (size_t i = 0; i < rows.cRows; ++i) {
    EQueryStatus status = qsUnknown;
    service.ExecQueryAsync(nsWMI, rows.pRows[i], qoConditional, &status);
  }
}

bool ClassExists(IWbemServices* pServices, const wchar_t* pwszClass) {
  if (!pServices) return false;
  CComRef<IWbemClassObject> pClass;
  CBSTR bstrClass(pwszClass);
  return bstrClass.Get() && SUCCEEDED(pServices->GetObject(bstrClass.Get(), 0, nullptr, pClass.Put(), nullptr));
}

void ApplyChange(IWbemServices* pServices, const tChangeRule& rule) {
  if (rule.eStale == stNone && rule.reg.cRows == 0 && rule.eControllers == ctNone) return;
  CComRef<CWMIService> service = AcquireService();
  if (!service) return;
  if (rule.eControllers != ctNone) service->FollowControllers(rule.eControllers == ctArrived);
  if (rule.bNeedSupported && !CAdapterInfo::GetIsSupDriverInstalled()) return;
  if (rule.eStale != stNone) {
    const DWORD dwLastStale = CWbemSink::LastRegistrationBeforeEvent();
    for (size_t i = 0; i < rule.stale.cRows; ++i) {
      EQueryStatus status = qsUnknown;
      if (rule.eStale == stEnd)
        service->EndStaleRegistration(nsWMI, rule.stale.pRows[i], dwLastStale, &status);
      else
        service->RefreshRegistration(nsWMI, rule.stale.pRows[i], dwLastStale, &status);
    }
  }
  Register(*service.Get(), rule.reg);
  if (rule.pwszClassBack && ClassExists(pServices, rule.pwszClassBack)) Register(*service.Get(), rule.stale);
}

template <EChange change>
HRESULT OnChange(IWbemServices* pServices, IWbemClassObject*) {
  ApplyChange(pServices, c_rgChangeRules[change]);
  return WBEM_S_NO_ERROR;
}

// A final status ends the registration it belongs to, whatever its code; a progress report
// ends nothing.
template <ENameSpace ns, EQueryEvent query>
HRESULT OnStatus(DWORD dwRegistration, LONG lFlags, HRESULT, BSTR, IWbemClassObject*) {
  if (lFlags != WBEM_STATUS_COMPLETE) return WBEM_S_NO_ERROR;
  CComRef<CWMIService> service = AcquireService();
  if (service) service->EndRegistration(ns, query, dwRegistration);
  return WBEM_S_NO_ERROR;
}

}  // namespace

// The handlers by name. Each is the address of a function, so it is constant-initialized: the
// query tables, made at dynamic initialization, read them whatever the order of the files.
const IndicateHandler CWbemSink::IndCCreateAdapterPrintf = OnChange<chCCreateAdapterPrintf>;
const IndicateHandler CWbemSink::IndCDeleteAdapterPrintf = OnChange<chCDeleteAdapterPrintf>;
const IndicateHandler CWbemSink::IndICreateAdapterPrintf = OnChange<chICreateAdapterPrintf>;
const IndicateHandler CWbemSink::IndIDeleteAdapterPrintf = OnChange<chIDeleteAdapterPrintf>;
const IndicateHandler CWbemSink::IndCCreateSetHostTime = OnChange<chCCreateSetHostTime>;
const IndicateHandler CWbemSink::IndCDeleteSetHostTime = OnChange<chCDeleteSetHostTime>;
const IndicateHandler CWbemSink::IndICreateSetHostTime = OnChange<chICreateSetHostTime>;
const IndicateHandler CWbemSink::IndIDeleteSetHostTime = OnChange<chIDeleteSetHostTime>;
const IndicateHandler CWbemSink::IndICreateWin32ScsiController = OnChange<chICreateWin32ScsiController>;
const IndicateHandler CWbemSink::IndIDeleteWin32ScsiController = OnChange<chIDeleteWin32ScsiController>;

const SetStatusHandler CWbemSink::SsEAdapterPrintfNotification = OnStatus<nsWMI, qEAdapterPrintfNotification>;
const SetStatusHandler CWbemSink::SsCCreateAdapterPrintf = OnStatus<nsWMI, qCCreateAdapterPrintf>;
const SetStatusHandler CWbemSink::SsCDeleteAdapterPrintf = OnStatus<nsWMI, qCDeleteAdapterPrintf>;
const SetStatusHandler CWbemSink::SsICreateAdapterPrintf = OnStatus<nsWMI, qICreateAdapterPrintf>;
const SetStatusHandler CWbemSink::SsIDeleteAdapterPrintf = OnStatus<nsWMI, qIDeleteAdapterPrintf>;
const SetStatusHandler CWbemSink::SsEHostTimeRequest = OnStatus<nsWMI, qEHostTimeRequest>;
const SetStatusHandler CWbemSink::SsCCreateSetHostTime = OnStatus<nsWMI, qCCreateSetHostTime>;
const SetStatusHandler CWbemSink::SsCDeleteSetHostTime = OnStatus<nsWMI, qCDeleteSetHostTime>;
const SetStatusHandler CWbemSink::SsICreateSetHostTime = OnStatus<nsWMI, qICreateSetHostTime>;
const SetStatusHandler CWbemSink::SsIDeleteSetHostTime = OnStatus<nsWMI, qIDeleteSetHostTime>;
const SetStatusHandler CWbemSink::SsICreateWin32ScsiController = OnStatus<nsCIMV2, qICreateWin32ScsiController>;
const SetStatusHandler CWbemSink::SsIDeleteWin32ScsiController = OnStatus<nsCIMV2, qIDeleteWin32ScsiController>;
