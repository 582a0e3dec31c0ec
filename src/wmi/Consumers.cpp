#include "wmi/Consumers.h"

#include "common/Lock.h"
#include "common/Text.h"
#include "diagnostics/EventLog.h"

#include <memory>
#include <new>

namespace {

const wchar_t* const c_pwszNameSpace[nsCount] = {L"\\\\.\\ROOT\\WMI", L"\\\\.\\ROOT\\CIMV2"};

}  // namespace

CConsumers::CConsumers(ENameSpace ns)
    : m_ns(ns), m_pLocator(nullptr), m_pServices(nullptr), m_pQueries(nullptr), m_dwCount(0) {}

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
                                reinterpret_cast<void**>(&m_pLocator));
  if (hr != S_OK) {
    if (m_pLocator) {
      m_pLocator->Release();
      m_pLocator = nullptr;
    }
    LogHResult("CoCreatInstance failed. Error = %s(0x%08x)\r\n", hr);
    return ecComError;
  }
  if (!m_pLocator) {
    CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "CoCreatInstance succeed but Locator is NULL.\r\n");
    return ecComError;
  }

  BSTR bstrNameSpace = SysAllocString(c_pwszNameSpace[m_ns]);
  hr = bstrNameSpace ? m_pLocator->ConnectServer(bstrNameSpace, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                                 &m_pServices)
                     : static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY);
  SysFreeString(bstrNameSpace);
  if (FAILED(hr)) {
    if (m_pServices) {
      m_pServices->Release();
      m_pServices = nullptr;
    }
    LogHResult("Could not connect CIMOM. Error: %s(0x%08x)\r\n", hr);
    return ecWbemError;
  }
  if (!m_pServices) {
    CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "Connected to CIMOM but IWbemServices is NULL");
    return ecWbemError;
  }

  const DWORD dwCount = s_pdwQueryCount[m_ns];
  if (dwCount == 0) return ecBadParameter;
  m_pQueries = new (std::nothrow) tQueryInfo[dwCount]();
  if (!m_pQueries) return ecOutOfMemory;
  m_dwCount = dwCount;

  const tQueryEventsInfo* pRows = s_ppQueryEventsInfo[m_ns];
  for (DWORD i = 0; i < dwCount; ++i) {
    tQueryInfo& record = m_pQueries[i];
    BSTR bstrQuery = SysAllocString(pRows[i].pwszQuery);
    if (!bstrQuery) {
      // Unwind the records made so far; the locator and services go with the destructor.
      for (DWORD j = 0; j < i; ++j) {
        SysFreeString(m_pQueries[j].bstrQuery);
        DeleteCriticalSection(&m_pQueries[j].csCall);
        DeleteCriticalSection(&m_pQueries[j].csStatus);
      }
      delete[] m_pQueries;
      m_pQueries = nullptr;
      m_dwCount = 0;
      return ecOutOfMemory;
    }
    InitializeCriticalSection(&record.csCall);
    InitializeCriticalSection(&record.csStatus);
    record.eStatus = qsInactive;
    record.bstrQuery = bstrQuery;
    record.pSink = nullptr;
    record.bReportedDown = false;
  }
  return ecNoError;
}

CConsumers::~CConsumers() {
  for (DWORD i = 0; m_pQueries && i < m_dwCount; ++i) {
    tQueryInfo& record = m_pQueries[i];
    // Every registration WMI may still hold is cancelled, active or not.
    EQueryStatus status = qsUnknown;
    CallCancelAsyncCall(static_cast<EQueryEvent>(i), qoForce, &status);
    if (record.pSink) {
      // WMI refused the cancellation; nothing more can be done for it.
      record.pSink->Release();
      record.pSink = nullptr;
    }
    if (record.bstrQuery) {
      SysFreeString(record.bstrQuery);
      record.bstrQuery = nullptr;
    }
    DeleteCriticalSection(&record.csCall);
    DeleteCriticalSection(&record.csStatus);
  }
  delete[] m_pQueries;
  m_pQueries = nullptr;
  m_dwCount = 0;
  if (m_pServices) {
    m_pServices->Release();
    m_pServices = nullptr;
  }
  if (m_pLocator) {
    m_pLocator->Release();
    m_pLocator = nullptr;
  }
}

EQueryStatus CConsumers::GetQueryStatus(EQueryEvent query) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard lock(&record.csStatus);
  // A registration whose final status is on its way is no longer active, even before its
  // handler has run.
  if (record.eStatus == qsActive && record.pSink && record.pSink->HasEnded()) return qsInactive;
  return record.eStatus;
}

ErrorCode CConsumers::SetQueryStatus(EQueryEvent query, EQueryStatus value) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard lock(&record.csStatus);
  record.eStatus = value;
  return ecNoError;
}

ErrorCode CConsumers::EndRegistration(EQueryEvent query, DWORD dwRegistration) {
  tQueryInfo& record = m_pQueries[query];
  CWbemSink* pEnded = nullptr;
  EReport report = rNone;
  {
    CLockGuard lock(&record.csStatus);
    // A registration still being made (not active yet) is settled by the call that makes it.
    if (record.eStatus == qsActive && record.pSink && record.pSink->Registration() == dwRegistration &&
        record.pSink->HasEnded()) {
      pEnded = record.pSink;
      record.pSink = nullptr;
      record.eStatus = qsInactive;
      report = DecideReportLocked(query, rEnded);
    }
  }
  if (pEnded) {
    Report(query, report, pEnded->FinalStatus());
    pEnded->Release();
  }
  return ecNoError;
}

void CConsumers::ForgetEnded(EQueryEvent query) {
  tQueryInfo& record = m_pQueries[query];
  CWbemSink* pEnded = nullptr;
  EReport report = rNone;
  {
    CLockGuard lock(&record.csStatus);
    if (record.pSink && record.pSink->HasEnded()) {
      pEnded = record.pSink;
      record.pSink = nullptr;
      if (record.eStatus == qsActive) {
        record.eStatus = qsInactive;
        report = DecideReportLocked(query, rEnded);
      }
    }
  }
  if (pEnded) {
    Report(query, report, pEnded->FinalStatus());
    pEnded->Release();
  }
}

// Cancels the current registration. The record lets go of it before the call, so that its
// cancellation status is not taken for WMI ending it. If WMI refuses and has not ended the call,
// it may still hold it: the record keeps it, the query is qsFailed, and the next registration
// cancels it first, so that WMI never holds two.
ErrorCode CConsumers::CancelCurrent(EQueryEvent query, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CWbemSink* pSink;
  {
    CLockGuard lock(&record.csStatus);
    pSink = record.pSink;
    record.pSink = nullptr;
    record.eStatus = qsInactive;
  }
  *pStatus = qsInactive;
  if (!pSink) return ecNoError;

  HRESULT hr = m_pServices->CancelAsyncCall(pSink);
  if (hr != WBEM_S_NO_ERROR && !pSink->HasEnded()) {
    CLockGuard lock(&record.csStatus);
    record.pSink = pSink;
    record.eStatus = qsFailed;
    *pStatus = qsFailed;
    return ecWbemError;
  }
  pSink->Release();
  return ecNoError;
}

ErrorCode CConsumers::CallExecNotificationQueryAsync(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard call(&record.csCall);
  ForgetEnded(query);
  bool bEarlier;
  {
    CLockGuard lock(&record.csStatus);
    if (option == qoConditional && record.eStatus == qsActive) {
      *pStatus = qsActive;
      return ecNoError;
    }
    if (option != qoConditional && option != qoForce) return ecNoError;
    bEarlier = record.pSink != nullptr;
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
  const tQueryEventsInfo& row = s_ppQueryEventsInfo[m_ns][query];
  CWbemSink* pSink =
      new (std::nothrow) CWbemSink(row.pfnIndicate, row.pfnSetStatus, m_pServices, CWbemSink::NewRegistration());
  HRESULT hr = WBEM_E_OUT_OF_MEMORY;
  if (pSink) {
    {
      CLockGuard lock(&record.csStatus);
      pSink->AddRef();  // the record's reference
      record.pSink = pSink;
    }
    BSTR bstrQuery = SysAllocString(record.bstrQuery);
    BSTR bstrLanguage = SysAllocString(L"WQL");
    if (bstrQuery && bstrLanguage)
      hr = m_pServices->ExecNotificationQueryAsync(bstrLanguage, bstrQuery, 0, nullptr, pSink);
    SysFreeString(bstrQuery);
    SysFreeString(bstrLanguage);
  }

  EQueryStatus current;
  EReport report;
  HRESULT hrReport = hr;
  bool bDrop = false;
  {
    CLockGuard lock(&record.csStatus);
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
    if (current != qsActive && pSink && record.pSink == pSink) {
      record.pSink = nullptr;
      bDrop = true;
    }
    record.eStatus = current;
  }
  *pStatus = current;
  if (pSink) {
    if (bDrop) pSink->Release();
    pSink->Release();  // the construction reference; WMI and the record hold their own
  }
  Report(query, report, hrReport);
  if (current == qsActive) return ecNoError;
  return pSink ? ecWbemError : ecOutOfMemory;
}

ErrorCode CConsumers::CallCancelAsyncCall(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard call(&record.csCall);
  ForgetEnded(query);
  {
    CLockGuard lock(&record.csStatus);
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
  CLockGuard call(&record.csCall);
  ForgetEnded(query);
  CWbemSink* pSink;
  EReport report = rNone;
  {
    CLockGuard lock(&record.csStatus);
    pSink = record.pSink;
    if (!pSink || !CWbemSink::MadeNoLaterThan(pSink->Registration(), dwLastStale)) {
      *pStatus = record.eStatus;
      return ecNoError;
    }
    if (record.eStatus == qsActive) report = DecideReportLocked(query, rClassGone);
    record.pSink = nullptr;
    record.eStatus = qsInactive;
  }
  *pStatus = qsInactive;
  // WMI lets go of the call; whatever it answers, the call delivers nothing more.
  m_pServices->CancelAsyncCall(pSink);
  pSink->Release();
  Report(query, report, S_OK);
  return ecNoError;
}

ErrorCode CConsumers::CallRefreshRegistration(EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard call(&record.csCall);
  ForgetEnded(query);
  CWbemSink* pOld;
  {
    CLockGuard lock(&record.csStatus);
    pOld = record.pSink;
    if (!pOld || record.eStatus != qsActive || !CWbemSink::MadeNoLaterThan(pOld->Registration(), dwLastStale)) {
      *pStatus = record.eStatus;
      return ecNoError;
    }
    // From here on a status of the old registration is not the query's.
    record.pSink = nullptr;
  }
  // The new registration first: should the old one still be alive, nothing falls between them.
  ErrorCode code = RegisterNew(query, pStatus);
  m_pServices->CancelAsyncCall(pOld);
  pOld->Release();
  return code;
}

CConsumers::EReport CConsumers::DecideReportLocked(EQueryEvent query, EReport change) {
  if (!s_ppQueryEventsInfo[m_ns][query].bReportRegistration) return rNone;
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
  NarrowWideName(s_ppQueryEventsInfo[m_ns][query].pwszQuery, szQuery, sizeof(szQuery));
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
