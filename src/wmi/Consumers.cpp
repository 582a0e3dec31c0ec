#include "wmi/Consumers.h"

#include "common/Text.h"
#include "diagnostics/EventLog.h"
#include "service/ServiceUtil.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

LONG Read(LONG volatile* pl) { return InterlockedCompareExchange(pl, 0, 0); }

// WMI no longer knows a registration it is asked to cancel: it has ended it already, or it is a
// registration of a connection that is gone.
bool IsGone(HRESULT hr) {
  return hr == static_cast<HRESULT>(WBEM_E_NOT_FOUND) || hr == static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER) ||
         CError::IsConnectionLoss(hr);
}

}  // namespace

CConsumers::CConsumers(ENameSpace ns, tQueryBook* pBook)
    : m_ns(ns), m_pBook(pBook), m_dwCount(0), m_lClosed(0), m_phrQuiet(nullptr) {}

ErrorCode CConsumers::Create(CConsumers** ppConsumers, ENameSpace ns, tQueryBook* pBook, HRESULT* phrConnect) {
  *ppConsumers = nullptr;
  // Owned until it is handed out, also when a call inside throws.
  std::unique_ptr<CConsumers> pConsumers(new (std::nothrow) CConsumers(ns, pBook));
  if (!pConsumers) return ecOutOfMemory;
  pConsumers->m_phrQuiet = phrConnect;
  ErrorCode code = pConsumers->Initialize();
  pConsumers->m_phrQuiet = nullptr;
  if (code == ecNoError) *ppConsumers = pConsumers.release();
  return code;
}

void CConsumers::ConnectFailed(const char* pszFormat, HRESULT hr) {
  if (m_phrQuiet)
    *m_phrQuiet = hr;
  else if (strstr(pszFormat, "%s"))
    LogHResult(pszFormat, hr);
  else
    CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, pszFormat);
}

ErrorCode CConsumers::Initialize() {
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                m_pLocator.PutVoid());
  if (hr != S_OK) {
    m_pLocator.Reset();
    ConnectFailed("CoCreatInstance failed. Error = %s(0x%08x)\r\n", hr);
    return ecComError;
  }
  if (!m_pLocator) {
    ConnectFailed("CoCreatInstance succeed but Locator is NULL.\r\n", hr);
    return ecComError;
  }

  {
    CBSTR bstrNameSpace(c_rgNameSpaces[m_ns].pwszPath);
    hr = bstrNameSpace.IsNull() ? static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY)
                                : m_pLocator->ConnectServer(bstrNameSpace.Get(), nullptr, nullptr, nullptr, 0,
                                                            nullptr, nullptr, m_pServices.Put());
  }
  if (FAILED(hr)) {
    m_pServices.Reset();
    ConnectFailed("Could not connect CIMOM. Error: %s(0x%08x)\r\n", hr);
    return ecWbemError;
  }
  if (!m_pServices) {
    ConnectFailed("Connected to CIMOM but IWbemServices is NULL", hr);
    return ecWbemError;
  }

  const DWORD dwCount = c_rgNameSpaces[m_ns].dwRows;
  if (dwCount == 0) return ecBadParameter;
  if (!m_pBook) {
    m_pOwnBook.reset(new (std::nothrow) tQueryBook[dwCount]());
    if (!m_pOwnBook) return ecOutOfMemory;
    m_pBook = m_pOwnBook.get();
  }
  m_pQueries.reset(new (std::nothrow) tQueryInfo[dwCount]());
  if (!m_pQueries) return ecOutOfMemory;

  const tQueryEventsInfo* pRows = c_rgNameSpaces[m_ns].pRows;
  for (DWORD i = 0; i < dwCount; ++i) {
    tQueryInfo& record = m_pQueries[i];
    CBSTR bstrQuery(pRows[i].pwszQuery);
    record.pFilter = new (std::nothrow) CEventFilter();
    if (bstrQuery.IsNull() || !record.pFilter) return ecOutOfMemory;
    record.bstrQuery = std::move(bstrQuery);
    record.pBook = &m_pBook[i];
  }
  m_dwCount = dwCount;
  return ecNoError;
}

CConsumers::~CConsumers() { Close(); }

void CConsumers::Close() {
  InterlockedExchange(&m_lClosed, 1);
  for (DWORD i = 0; i < m_dwCount; ++i) {
    tQueryInfo& record = m_pQueries[i];
    CLockGuard call(record.csCall);
    // Every registration WMI may still hold is cancelled, current or left over.
    EQueryStatus status = qsUnknown;
    CancelCurrent(static_cast<EQueryEvent>(i), &status);
    CancelLeftovers(static_cast<EQueryEvent>(i));
    // A sink left here is one whose cancellation WMI refused; nothing more can be done for it.
    CLockGuard lock(record.csStatus);
    record.pSink.Reset();
    for (auto& pLeftover : record.rgpLeftover) pLeftover.Reset();
    record.pFilter->Clear();
  }
}

void CConsumers::SetWanted(tQueryInfo& record, bool bWanted) { InterlockedExchange(&record.pBook->lWanted, bWanted); }

EQueryStatus CConsumers::GetQueryStatus(EQueryEvent query) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard lock(record.csStatus);
  // A registration whose final status is on its way is no longer active, even before its
  // handler has run.
  if (record.eStatus == qsActive && record.pSink && record.pSink->HasEnded()) return qsInactive;
  return record.eStatus;
}

bool CConsumers::IsMissing(EQueryEvent query) {
  tQueryInfo& record = m_pQueries[query];
  return Read(&record.pBook->lWanted) != 0 && GetQueryStatus(query) != qsActive;
}

bool CConsumers::HasLeftovers(EQueryEvent query) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard lock(record.csStatus);
  for (auto& pLeftover : record.rgpLeftover)
    if (pLeftover && !pLeftover->HasEnded()) return true;
  return false;
}

ErrorCode CConsumers::EndRegistration(EQueryEvent query, DWORD dwRegistration) {
  tQueryInfo& record = m_pQueries[query];
  CComRef<CWbemSink> pEnded;
  EReport report = rNone;
  {
    CLockGuard lock(record.csStatus);
    // A registration still being made (not active yet) is settled by the call that makes it.
    if (record.pSink && record.pSink->HasEnded() &&
        (dwRegistration == 0 || (record.eStatus == qsActive && record.pSink->Registration() == dwRegistration))) {
      pEnded = std::move(record.pSink);
      if (record.eStatus == qsActive) {
        record.eStatus = qsInactive;
        report = DecideReportLocked(query, rEnded, pEnded->FinalStatus());
      }
      record.pFilter->SetCurrent(nullptr);
    }
    for (auto& pLeftover : record.rgpLeftover)
      if (pLeftover && pLeftover->HasEnded()) pLeftover.Reset();
  }
  if (pEnded) {
    const HRESULT hrFinal = pEnded->FinalStatus();
    // WMI shutting down ends every registration: the connection is lost, not this query.
    CWMIServiceUtil::NoteWmiFailure(hrFinal, m_pServices.Get());
    Report(query, report, hrFinal);
    // Still wanted: the service registers it again.
    if (Read(&record.pBook->lWanted)) CWMIServiceUtil::NoteQueryMissing();
  }
  return ecNoError;
}

bool CConsumers::CancelRegistration(tQueryInfo& record, CComRef<CWbemSink> pSink) {
  if (!pSink) return true;
  HRESULT hr = m_pServices->CancelAsyncCall(pSink.Get());
  CWMIServiceUtil::NoteWmiFailure(hr, m_pServices.Get());
  if (hr == WBEM_S_NO_ERROR || pSink->HasEnded() || IsGone(hr)) return true;
  // WMI refused and may still deliver to it: it is cancelled again later, and its events pass
  // the query's filter meanwhile.
  record.pFilter->Retire(pSink.Get());
  CLockGuard lock(record.csStatus);
  for (auto& pLeftover : record.rgpLeftover) {
    if (!pLeftover || pLeftover->HasEnded()) {
      pLeftover = std::move(pSink);
      break;
    }
  }
  CWMIServiceUtil::NoteQueryMissing();
  return false;
}

void CConsumers::CancelLeftovers(EQueryEvent query) {
  tQueryInfo& record = m_pQueries[query];
  CComRef<CWbemSink> rgpLeftover[tQueryInfo::c_cLeftovers];
  {
    CLockGuard lock(record.csStatus);
    for (size_t i = 0; i < tQueryInfo::c_cLeftovers; ++i) rgpLeftover[i] = std::move(record.rgpLeftover[i]);
  }
  for (auto& pLeftover : rgpLeftover) CancelRegistration(record, std::move(pLeftover));
}

// Cancels the current registration. The record lets go of it before the call, so that its
// cancellation status is not taken for WMI ending it. If WMI refuses and has not ended the call,
// it may still hold it: it becomes a leftover that is cancelled again later, and the query is
// free to be registered again meanwhile, each event handled once.
ErrorCode CConsumers::CancelCurrent(EQueryEvent query, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CComRef<CWbemSink> pSink;
  {
    CLockGuard lock(record.csStatus);
    pSink = std::move(record.pSink);
    record.eStatus = qsInactive;
    record.pFilter->SetCurrent(nullptr);
  }
  *pStatus = qsInactive;
  return CancelRegistration(record, std::move(pSink)) ? ecNoError : ecWbemError;
}

ErrorCode CConsumers::CallExecNotificationQueryAsync(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  if (option != qoConditional && option != qoForce) return ecNoError;
  SetWanted(record, true);
  CLockGuard call(record.csCall);
  EndRegistration(query, 0);
  bool bEarlier;
  {
    CLockGuard lock(record.csStatus);
    if (option == qoConditional && record.eStatus == qsActive) {
      *pStatus = qsActive;
      return ecNoError;
    }
    bEarlier = static_cast<bool>(record.pSink);
  }
  // A forced registration of an active query: the current one goes first, so that WMI never
  // delivers to two for nothing.
  if (bEarlier) CancelCurrent(query, pStatus);
  return RegisterNew(query, pStatus);
}

ErrorCode CConsumers::RegisterNew(EQueryEvent query, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  const tQueryEventsInfo& row = c_rgNameSpaces[m_ns].pRows[query];
  // Closed: the call that holds csCall now would leave a registration that nobody cancels.
  if (Read(&m_lClosed) != 0) {
    *pStatus = qsInactive;
    return ecShuttingDown;
  }
  // The construction reference; WMI and the record hold their own.
  CComRef<CWbemSink> pSink(
      new (std::nothrow) CWbemSink(row.pfnIndicate, row.pfnSetStatus, m_pServices.Get(), CWbemSink::NewRegistration()));
  const bool bMade = static_cast<bool>(pSink);
  HRESULT hr = WBEM_E_OUT_OF_MEMORY;
  if (bMade) {
    pSink->SetFilter(record.pFilter);
    {
      CLockGuard lock(record.csStatus);
      record.pSink = CComRef<CWbemSink>::Share(pSink.Get());
    }
    CBSTR bstrQuery(record.bstrQuery.Get());
    CBSTR bstrLanguage(L"WQL");
    if (!bstrQuery.IsNull() && !bstrLanguage.IsNull())
      hr = m_pServices->ExecNotificationQueryAsync(bstrLanguage.Get(), bstrQuery.Get(), 0, nullptr, pSink.Get());
  }
  CWMIServiceUtil::NoteWmiFailure(hr, m_pServices.Get());

  EQueryStatus current;
  EReport report;
  HRESULT hrReport = hr;
  CComRef<CWbemSink> pDrop;
  {
    CLockGuard lock(record.csStatus);
    if (hr != WBEM_S_NO_ERROR) {
      current = qsFailed;
      report = DecideReportLocked(query, rRefused, hr);
    } else if (pSink->HasEnded()) {
      // Accepted and ended by WMI before the call returned: nothing is registered.
      current = qsInactive;
      hrReport = pSink->FinalStatus();
      report = DecideReportLocked(query, rEnded, hrReport);
    } else {
      current = qsActive;
      report = DecideReportLocked(query, rRegistered, hr);
      record.pFilter->SetCurrent(pSink.Get());
    }
    if (current != qsActive && bMade && record.pSink.Get() == pSink.Get()) pDrop = std::move(record.pSink);
    record.eStatus = current;
  }
  *pStatus = current;
  pDrop.Reset();
  pSink.Reset();
  Report(query, report, hrReport);
  if (current == qsActive) return ecNoError;
  // Still wanted: the service registers it again.
  CWMIServiceUtil::NoteQueryMissing();
  return bMade ? ecWbemError : ecOutOfMemory;
}

ErrorCode CConsumers::CallCancelAsyncCall(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  if (option != qoConditional && option != qoForce) return ecNoError;
  CLockGuard call(record.csCall);
  EndRegistration(query, 0);
  {
    CLockGuard lock(record.csStatus);
    if (option == qoConditional && record.eStatus != qsActive) {
      *pStatus = record.eStatus;
      return ecNoError;
    }
  }
  SetWanted(record, false);
  // Whatever WMI still holds of the query goes, also what it refused to cancel before.
  CancelLeftovers(query);
  return CancelCurrent(query, pStatus);
}

ErrorCode CConsumers::CallEndStaleRegistration(EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard call(record.csCall);
  EndRegistration(query, 0);
  CComRef<CWbemSink> pSink;
  EReport report = rNone;
  {
    CLockGuard lock(record.csStatus);
    if (!record.pSink || !CWbemSink::MadeNoLaterThan(record.pSink->Registration(), dwLastStale)) {
      *pStatus = record.eStatus;
      return ecNoError;
    }
    if (record.eStatus == qsActive) report = DecideReportLocked(query, rClassGone, S_OK);
    pSink = std::move(record.pSink);
    record.eStatus = qsInactive;
    record.pFilter->SetCurrent(nullptr);
  }
  // The class is gone: the query waits for its creation to be wanted again.
  SetWanted(record, false);
  *pStatus = qsInactive;
  // WMI lets go of the call; whatever it answers, the call delivers nothing more.
  m_pServices->CancelAsyncCall(pSink.Get());
  pSink.Reset();
  Report(query, report, S_OK);
  return ecNoError;
}

ErrorCode CConsumers::CallRefreshRegistration(EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard call(record.csCall);
  EndRegistration(query, 0);
  CComRef<CWbemSink> pOld;
  {
    CLockGuard lock(record.csStatus);
    if (!record.pSink || record.eStatus != qsActive ||
        !CWbemSink::MadeNoLaterThan(record.pSink->Registration(), dwLastStale)) {
      *pStatus = record.eStatus;
      return ecNoError;
    }
    // From here on a status of the old registration is not the query's.
    pOld = std::move(record.pSink);
    // Until the old one delivers nothing more, every event of the query is handled once,
    // whichever of the two delivers it first.
    record.pFilter->Retire(pOld.Get());
  }
  // The new registration first: should the old one still be alive, nothing falls between them.
  ErrorCode code = RegisterNew(query, pStatus);
  CancelRegistration(record, std::move(pOld));
  return code;
}

CConsumers::EReport CConsumers::DecideReportLocked(EQueryEvent query, EReport change, HRESULT hr) {
  if (!c_rgNameSpaces[m_ns].pRows[query].bReportRegistration) return rNone;
  // A lost connection is one record of its own, not one per query.
  if (change != rRegistered && CError::IsConnectionLoss(hr)) return rNone;
  tQueryInfo& record = m_pQueries[query];
  const LONG lDown = change != rRegistered;
  if (InterlockedExchange(&record.pBook->lReportedDown, lDown) == lDown) return rNone;
  return change;
}

// The operator learns from the log when the events of a query can no longer be received, and when
// they can again: one record per change, never one per attempt.
void CConsumers::Report(EQueryEvent query, EReport report, HRESULT hr) {
  if (report == rNone) return;
  char szQuery[256];
  NarrowWideName(c_rgNameSpaces[m_ns].pRows[query].pwszQuery, szQuery, sizeof(szQuery));
  switch (report) {
    case rRefused:
      CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgQueryLost,
                        "Query \"%s\" could not be registered; its events are not received until it is. Error: "
                        "%s(0x%08x)\r\n",
                        szQuery, CError::ErrorString(hr), static_cast<unsigned>(hr));
      break;
    case rEnded:
      CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgQueryLost,
                        "Query \"%s\" was ended by WMI; its events are not received until it is registered again. "
                        "Error: %s(0x%08x)\r\n",
                        szQuery, CError::ErrorString(hr), static_cast<unsigned>(hr));
      break;
    case rClassGone:
      CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgQueryLost,
                        "Query \"%s\" ended with the driver's class; its events are not received until it is "
                        "registered again.\r\n",
                        szQuery);
      break;
    case rRegistered:
      CEventLog::Printf(EVENTLOG_INFORMATION_TYPE, c_dwMsgQueryRestored, "Query \"%s\" is registered again.\r\n",
                        szQuery);
      break;
    default:
      break;
  }
}

bool CConsumers::UsesServices(const IWbemServices* pServices) const { return pServices && pServices == m_pServices.Get(); }
