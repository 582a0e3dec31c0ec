#include "wmi/Consumers.h"

#include "common/Text.h"
#include "diagnostics/EventLog.h"

#include <memory>
#include <new>
#include <utility>

CConsumers::CConsumers(ENameSpace ns) : m_ns(ns), m_dwCount(0), m_lClosed(0) {}

ErrorCode CConsumers::Create(CConsumers** ppConsumers, ENameSpace ns) {
  *ppConsumers = nullptr;
  // Owned until it is handed out, also when a call inside throws.
  std::unique_ptr<CConsumers> pConsumers(new (std::nothrow) CConsumers(ns));
  if (!pConsumers) return ecOutOfMemory;
  ErrorCode code = pConsumers->Initialize();
  if (code == ecNoError) *ppConsumers = pConsumers.release();
  return code;
}

ErrorCode CConsumers::Initialize() {
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                m_pLocator.PutVoid());
  if (hr != S_OK) {
    m_pLocator.Reset();
    LogHResult("CoCreatInstance failed. Error = %s(0x%08x)\r\n", hr);
    return ecComError;
  }
  if (!m_pLocator) {
    CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "CoCreatInstance succeed but Locator is NULL.\r\n");
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
    LogHResult("Could not connect CIMOM. Error: %s(0x%08x)\r\n", hr);
    return ecWbemError;
  }
  if (!m_pServices) {
    CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "Connected to CIMOM but IWbemServices is NULL");
    return ecWbemError;
  }

  const DWORD dwCount = c_rgNameSpaces[m_ns].dwRows;
  if (dwCount == 0) return ecBadParameter;
  m_pQueries.reset(new (std::nothrow) tQueryInfo[dwCount]());
  if (!m_pQueries) return ecOutOfMemory;

  const tQueryEventsInfo* pRows = c_rgNameSpaces[m_ns].pRows;
  for (DWORD i = 0; i < dwCount; ++i) {
    CBSTR bstrQuery(pRows[i].pwszQuery);
    if (bstrQuery.IsNull()) return ecOutOfMemory;
    m_pQueries[i].bstrQuery = std::move(bstrQuery);
  }
  m_dwCount = dwCount;
  return ecNoError;
}

CConsumers::~CConsumers() { Close(); }

void CConsumers::Close() {
  InterlockedExchange(&m_lClosed, 1);
  for (DWORD i = 0; i < m_dwCount; ++i) {
    // Every registration WMI may still hold is cancelled, active or not.
    EQueryStatus status = qsUnknown;
    CallCancelAsyncCall(static_cast<EQueryEvent>(i), qoForce, &status);
    // A sink left here is one whose cancellation WMI refused; nothing more can be done for it.
    m_pQueries[i].pSink.Reset();
  }
}

EQueryStatus CConsumers::GetQueryStatus(EQueryEvent query) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard lock(record.csStatus);
  // A registration whose final status is on its way is no longer active, even before its
  // handler has run.
  if (record.eStatus == qsActive && record.pSink && record.pSink->HasEnded()) return qsInactive;
  return record.eStatus;
}

ErrorCode CConsumers::EndRegistration(EQueryEvent query, DWORD dwRegistration) {
  tQueryInfo& record = m_pQueries[query];
  CComRef<CWbemSink> pEnded;
  EReport report = rNone;
  {
    CLockGuard lock(record.csStatus);
    // A registration still being made (not active yet) is settled by the call that makes it.
    if (record.eStatus == qsActive && record.pSink && record.pSink->Registration() == dwRegistration &&
        record.pSink->HasEnded()) {
      pEnded = std::move(record.pSink);
      record.eStatus = qsInactive;
      report = DecideReportLocked(query, rEnded);
    }
  }
  if (pEnded) {
    Report(query, report, pEnded->FinalStatus());
  }
  return ecNoError;
}

void CConsumers::ForgetEnded(EQueryEvent query) {
  tQueryInfo& record = m_pQueries[query];
  CComRef<CWbemSink> pEnded;
  EReport report = rNone;
  {
    CLockGuard lock(record.csStatus);
    if (record.pSink && record.pSink->HasEnded()) {
      pEnded = std::move(record.pSink);
      if (record.eStatus == qsActive) {
        record.eStatus = qsInactive;
        report = DecideReportLocked(query, rEnded);
      }
    }
  }
  if (pEnded) {
    Report(query, report, pEnded->FinalStatus());
  }
}

// Cancels the current registration. The record lets go of it before the call, so that its
// cancellation status is not taken for WMI ending it. If WMI refuses and has not ended the call,
// it may still hold it: the record keeps it, the query is qsFailed, and the next registration
// cancels it first, so that WMI never holds two.
ErrorCode CConsumers::CancelCurrent(EQueryEvent query, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CComRef<CWbemSink> pSink;
  {
    CLockGuard lock(record.csStatus);
    pSink = std::move(record.pSink);
    record.eStatus = qsInactive;
  }
  *pStatus = qsInactive;
  if (!pSink) return ecNoError;

  HRESULT hr = m_pServices->CancelAsyncCall(pSink.Get());
  if (hr != WBEM_S_NO_ERROR && !pSink->HasEnded()) {
    CLockGuard lock(record.csStatus);
    record.pSink = std::move(pSink);
    record.eStatus = qsFailed;
    *pStatus = qsFailed;
    return ecWbemError;
  }
  return ecNoError;
}

ErrorCode CConsumers::CallExecNotificationQueryAsync(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard call(record.csCall);
  ForgetEnded(query);
  bool bEarlier;
  {
    CLockGuard lock(record.csStatus);
    if (option == qoConditional && record.eStatus == qsActive) {
      *pStatus = qsActive;
      return ecNoError;
    }
    if (option != qoConditional && option != qoForce) return ecNoError;
    bEarlier = static_cast<bool>(record.pSink);
  }
  // A forced registration of an active query, or one after a refused cancellation.
  if (bEarlier) {
    ErrorCode code = CancelCurrent(query, pStatus);
    if (code != ecNoError) return code;
  }
  return RegisterNew(query, pStatus);
}

ErrorCode CConsumers::RegisterNew(EQueryEvent query, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  const tQueryEventsInfo& row = c_rgNameSpaces[m_ns].pRows[query];
  // Closed: the call that holds csCall now would leave a registration that nobody cancels.
  if (InterlockedCompareExchange(&m_lClosed, 0, 0) != 0) {
    *pStatus = qsInactive;
    return ecShuttingDown;
  }
  // The construction reference; WMI and the record hold their own.
  CComRef<CWbemSink> pSink(
      new (std::nothrow) CWbemSink(row.pfnIndicate, row.pfnSetStatus, m_pServices.Get(), CWbemSink::NewRegistration()));
  const bool bMade = static_cast<bool>(pSink);
  HRESULT hr = WBEM_E_OUT_OF_MEMORY;
  if (bMade) {
    {
      CLockGuard lock(record.csStatus);
      record.pSink = CComRef<CWbemSink>::Share(pSink.Get());
    }
    CBSTR bstrQuery(record.bstrQuery.Get());
    CBSTR bstrLanguage(L"WQL");
    if (!bstrQuery.IsNull() && !bstrLanguage.IsNull())
      hr = m_pServices->ExecNotificationQueryAsync(bstrLanguage.Get(), bstrQuery.Get(), 0, nullptr, pSink.Get());
  }

  EQueryStatus current;
  EReport report;
  HRESULT hrReport = hr;
  CComRef<CWbemSink> pDrop;
  {
    CLockGuard lock(record.csStatus);
    if (hr != WBEM_S_NO_ERROR) {
      current = qsFailed;
      report = DecideReportLocked(query, rRefused);
    } else if (pSink->HasEnded()) {
      // Accepted and ended by WMI before the call returned: nothing is registered.
      current = qsInactive;
      hrReport = pSink->FinalStatus();
      report = DecideReportLocked(query, rEnded);
    } else {
      current = qsActive;
      report = DecideReportLocked(query, rRegistered);
    }
    if (current != qsActive && bMade && record.pSink.Get() == pSink.Get()) pDrop = std::move(record.pSink);
    record.eStatus = current;
  }
  *pStatus = current;
  pDrop.Reset();
  pSink.Reset();
  Report(query, report, hrReport);
  if (current == qsActive) return ecNoError;
  return bMade ? ecWbemError : ecOutOfMemory;
}

ErrorCode CConsumers::CallCancelAsyncCall(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard call(record.csCall);
  ForgetEnded(query);
  {
    CLockGuard lock(record.csStatus);
    if (option == qoConditional && record.eStatus != qsActive) {
      *pStatus = record.eStatus;
      return ecNoError;
    }
    if (option != qoConditional && option != qoForce) return ecNoError;
  }
  return CancelCurrent(query, pStatus);
}

ErrorCode CConsumers::CallEndStaleRegistration(EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard call(record.csCall);
  ForgetEnded(query);
  CComRef<CWbemSink> pSink;
  EReport report = rNone;
  {
    CLockGuard lock(record.csStatus);
    if (!record.pSink || !CWbemSink::MadeNoLaterThan(record.pSink->Registration(), dwLastStale)) {
      *pStatus = record.eStatus;
      return ecNoError;
    }
    if (record.eStatus == qsActive) report = DecideReportLocked(query, rClassGone);
    pSink = std::move(record.pSink);
    record.eStatus = qsInactive;
  }
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
  ForgetEnded(query);
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
  }
  // The new registration first: should the old one still be alive, nothing falls between them.
  ErrorCode code = RegisterNew(query, pStatus);
  m_pServices->CancelAsyncCall(pOld.Get());
  return code;
}

CConsumers::EReport CConsumers::DecideReportLocked(EQueryEvent query, EReport change) {
  if (!c_rgNameSpaces[m_ns].pRows[query].bReportRegistration) return rNone;
  tQueryInfo& record = m_pQueries[query];
  const bool bDown = change != rRegistered;
  if (record.bReportedDown == bDown) return rNone;
  record.bReportedDown = bDown;
  return change;
}

// The operator learns from the log when controller messages or host-time requests can no
// longer be received, and when they can again: one record per change, never one per attempt.
void CConsumers::Report(EQueryEvent query, EReport report, HRESULT hr) {
  if (report == rNone) return;
  char szQuery[256];
  NarrowWideName(c_rgNameSpaces[m_ns].pRows[query].pwszQuery, szQuery, sizeof(szQuery));
  switch (report) {
    case rRefused:
      CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgServiceError,
                        "Query \"%s\" could not be registered; its events are not received until it is. Error: "
                        "%s(0x%08x)\r\n",
                        szQuery, CError::ErrorString(hr), static_cast<unsigned>(hr));
      break;
    case rEnded:
      CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgServiceError,
                        "Query \"%s\" was ended by WMI; its events are not received until it is registered again. "
                        "Error: %s(0x%08x)\r\n",
                        szQuery, CError::ErrorString(hr), static_cast<unsigned>(hr));
      break;
    case rClassGone:
      CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgServiceError,
                        "Query \"%s\" ended with the driver's class; its events are not received until it is "
                        "registered again.\r\n",
                        szQuery);
      break;
    case rRegistered:
      CEventLog::Printf(EVENTLOG_INFORMATION_TYPE, c_dwMsgServiceInfo, "Query \"%s\" is registered again.\r\n",
                        szQuery);
      break;
    default:
      break;
  }
}
