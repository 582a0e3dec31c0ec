#include "wmi/Consumers.h"

#include "common/Lock.h"
#include "common/Text.h"
#include "diagnostics/EventLog.h"

#include <memory>
#include <new>

namespace {

const wchar_t* const c_pwszNameSpace[nsCount] = {L"\\\\.\\ROOT\\WMI", L"\\\\.\\ROOT\\CIMV2"};

void LogError(const char* pszFormat, HRESULT hr) {
  CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, pszFormat, CError::ErrorString(hr),
                    static_cast<unsigned>(hr));
}

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
    LogError("CoCreatInstance failed. Error = %s(0x%08x)\r\n", hr);
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
    LogError("Could not connect CIMOM. Error: %s(0x%08x)\r\n", hr);
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
    CWbemSink* pSink = new (std::nothrow) CWbemSink(pRows[i].pfnIndicate, pRows[i].pfnSetStatus, m_pServices);
    BSTR bstrQuery = pSink ? SysAllocString(pRows[i].pwszQuery) : nullptr;
    if (!pSink || !bstrQuery) {
      if (pSink) pSink->Release();
      // Unwind the records made so far; the locator and services go with the destructor.
      for (DWORD j = 0; j < i; ++j) {
        m_pQueries[j].pSink->Release();
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
    record.pSink = pSink;
  }
  return ecNoError;
}

CConsumers::~CConsumers() {
  for (DWORD i = 0; m_pQueries && i < m_dwCount; ++i) {
    tQueryInfo& record = m_pQueries[i];
    if (record.pSink) {
      EQueryStatus status = qsUnknown;
      CallCancelAsyncCall(static_cast<EQueryEvent>(i), qoConditional, &status);
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

void CConsumers::WriteStatus(tQueryInfo& record, EQueryStatus value) {
  CLockGuard lock(&record.csStatus);
  record.eStatus = value;
}

EQueryStatus CConsumers::GetQueryStatus(EQueryEvent query) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard lock(&record.csStatus);
  return record.eStatus;
}

ErrorCode CConsumers::SetQueryStatus(EQueryEvent query, EQueryStatus value) {
  WriteStatus(m_pQueries[query], value);
  return ecNoError;
}

ErrorCode CConsumers::CallExecNotificationQueryAsync(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard lock(&record.csCall);
  const EQueryStatus previous = GetQueryStatus(query);
  if (option == qoConditional && previous == qsActive) {
    *pStatus = qsActive;
    return ecNoError;
  }
  if (option != qoConditional && option != qoForce) return ecNoError;

  BSTR bstrQuery = SysAllocString(record.bstrQuery);
  BSTR bstrLanguage = SysAllocString(L"WQL");
  HRESULT hr = (bstrQuery && bstrLanguage)
                   ? m_pServices->ExecNotificationQueryAsync(bstrLanguage, bstrQuery, 0, nullptr, record.pSink)
                   : static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY);
  SysFreeString(bstrQuery);
  SysFreeString(bstrLanguage);

  const EQueryStatus current = hr == WBEM_S_NO_ERROR ? qsActive : qsFailed;
  WriteStatus(record, current);
  *pStatus = current;
  ReportRegistration(query, previous, current, hr);
  return current == qsActive ? ecNoError : ecWbemError;
}

ErrorCode CConsumers::CallCancelAsyncCall(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  tQueryInfo& record = m_pQueries[query];
  CLockGuard lock(&record.csCall);
  const EQueryStatus previous = GetQueryStatus(query);
  if (option == qoConditional && previous != qsActive) {
    *pStatus = previous;
    return ecNoError;
  }
  if (option != qoConditional && option != qoForce) return ecNoError;

  HRESULT hr = m_pServices->CancelAsyncCall(record.pSink);
  const EQueryStatus current = hr == WBEM_S_NO_ERROR ? qsInactive : qsFailed;
  WriteStatus(record, current);
  *pStatus = current;
  return current == qsInactive ? ecNoError : ecWbemError;
}

// The operator learns from the log when controller messages or host-time requests can no
// longer be received, and when they can again: one record per change, never one per attempt.
void CConsumers::ReportRegistration(EQueryEvent query, EQueryStatus previous, EQueryStatus current, HRESULT hr) {
  if (!s_ppQueryEventsInfo[m_ns][query].bReportRegistration) return;
  char szQuery[256];
  NarrowWideName(s_ppQueryEventsInfo[m_ns][query].pwszQuery, szQuery, sizeof(szQuery));
  if (current == qsFailed && previous != qsFailed) {
    CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgServiceError,
                      "Query \"%s\" could not be registered; its events are not received until it is. Error: "
                      "%s(0x%08x)\r\n",
                      szQuery, CError::ErrorString(hr), static_cast<unsigned>(hr));
  } else if (current == qsActive && previous == qsFailed) {
    CEventLog::Printf(EVENTLOG_INFORMATION_TYPE, c_dwMsgServiceInfo, "Query \"%s\" is registered again.\r\n", szQuery);
  }
}
