// One connection to a WMI namespace with its fixed table of event queries and their states.
#pragma once

#include "common/Platform.h"
#include "diagnostics/Error.h"
#include "sink/WbemSink.h"
#include "wmi/QueryTypes.h"

// A row of a namespace's query table.
struct tQueryEventsInfo {
  IndicateHandler pfnIndicate;
  SetStatusHandler pfnSetStatus;
  const wchar_t* pwszQuery;  // WQL
  bool bReportRegistration;  // its registration failures and recoveries are logged
};

// One query of a connected namespace.
//
// Two locks: csCall serialises the query's registration and cancellation calls and is held
// across the WMI call; csStatus guards only the status and is never held across a WMI call.
// A set-status handler takes only csStatus, so it can never wait for a cancellation that is
// itself waiting for that handler to return.
struct tQueryInfo {
  CRITICAL_SECTION csCall;
  CRITICAL_SECTION csStatus;
  BSTR bstrQuery;
  EQueryStatus eStatus;
  CWbemSink* pSink;
};

class CConsumers {
 public:
  explicit CConsumers(ENameSpace ns);
  ~CConsumers();
  CConsumers(const CConsumers&) = delete;
  CConsumers& operator=(const CConsumers&) = delete;

  // Makes and connects one object; on failure stores null and returns the error.
  static ErrorCode Create(CConsumers** ppConsumers, ENameSpace ns);

  // Registers or cancels one query; writes its new state to *pStatus (except for an option
  // outside the two values, which does nothing).
  ErrorCode CallExecNotificationQueryAsync(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus);
  ErrorCode CallCancelAsyncCall(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus);
  EQueryStatus GetQueryStatus(EQueryEvent query);
  ErrorCode SetQueryStatus(EQueryEvent query, EQueryStatus value);

  static const DWORD s_pdwQueryCount[nsCount];
  static const tQueryEventsInfo* const s_ppQueryEventsInfo[nsCount];

 protected:
  ErrorCode Initialize();

 private:
  void WriteStatus(tQueryInfo& record, EQueryStatus value);
  void ReportRegistration(EQueryEvent query, EQueryStatus previous, EQueryStatus current, HRESULT hr);

  ENameSpace m_ns;
  IWbemLocator* m_pLocator;
  IWbemServices* m_pServices;
  tQueryInfo* m_pQueries;
  DWORD m_dwCount;
};
