// One connection to a WMI namespace with its fixed table of event queries and their states.
#pragma once

#include "common/ComTypes.h"
#include "common/Lock.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"
#include "sink/WbemSink.h"
#include "wmi/QueryTypes.h"

#include <memory>

// A row of a namespace's query table.
struct tQueryEventsInfo {
  IndicateHandler pfnIndicate;
  SetStatusHandler pfnSetStatus;
  const wchar_t* pwszQuery;  // WQL
  bool bReportRegistration;  // its registration failures and recoveries are logged
};

// A namespace: its path and its query table.
struct tNameSpaceInfo {
  const wchar_t* pwszPath;
  const tQueryEventsInfo* pRows;
  DWORD dwRows;
};

// One query of a connected namespace.
//
// Two locks: csCall serialises the query's registration and cancellation calls and is held
// across the WMI call; csStatus guards the rest and is never held across a WMI call. A
// set-status handler takes only csStatus, so it can never wait for a cancellation that is
// itself waiting for that handler to return.
//
// pSink is the sink of the registration WMI may hold (every registration has a sink of its own):
// set before ExecNotificationQueryAsync is called, so that a final status arriving during the
// call finds it; cleared when the registration is cancelled or WMI has ended it. eStatus is
// qsActive exactly while pSink names a registration that WMI accepted and has not ended.
struct tQueryInfo {
  CCriticalSection csCall;
  CCriticalSection csStatus;
  CBSTR bstrQuery;
  EQueryStatus eStatus = qsInactive;
  CComRef<CWbemSink> pSink;    // one reference, or null
  bool bReportedDown = false;  // the log says that its events are not received (reported rows only)
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
  // WMI sent registration dwRegistration of the query its final status: if it is the query's
  // active registration, the query becomes inactive. Any other registration changes nothing.
  ErrorCode EndRegistration(EQueryEvent query, DWORD dwRegistration);
  // Ends the query's registration if it was made no later than registration dwLastStale
  // (CWbemSink::MadeNoLaterThan): the class it depends on has gone since, so WMI delivers
  // nothing more to it, whether or not it said so. It is cancelled and the query is inactive.
  ErrorCode CallEndStaleRegistration(EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus);
  // Registers the active query anew, and then cancels its registration, if that was made no
  // later than registration dwLastStale: the class it depends on was created since, so that
  // registration may be one that a silent removal left dead. An active query stays active
  // throughout, and the log says nothing unless the new registration fails.
  ErrorCode CallRefreshRegistration(EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus);

  // No registration is made from now on, and every registration the object holds is cancelled.
  void Close();

  static const tNameSpaceInfo c_rgNameSpaces[nsCount];
  static DWORD QueryCount(ENameSpace ns) { return ns < nsCount ? c_rgNameSpaces[ns].dwRows : 0; }
  static const tQueryEventsInfo& Row(ENameSpace ns, EQueryEvent query) { return c_rgNameSpaces[ns].pRows[query]; }

 protected:
  ErrorCode Initialize();

 private:
  // What the log says about a reported query: once per change, never once per attempt.
  enum EReport { rNone, rRefused, rEnded, rClassGone, rRegistered };
  EReport DecideReportLocked(EQueryEvent query, EReport change);
  void Report(EQueryEvent query, EReport report, HRESULT hr);
  // With csCall held: forgets a registration that WMI has ended.
  void ForgetEnded(EQueryEvent query);
  // With csCall held and no current registration: registers the query with a sink of its own.
  ErrorCode RegisterNew(EQueryEvent query, EQueryStatus* pStatus);
  // With csCall held: cancels the current registration, if any (see the .cpp).
  ErrorCode CancelCurrent(EQueryEvent query, EQueryStatus* pStatus);

  // Destroyed in reverse order: the records (their sinks) first, then services, then locator.
  ENameSpace m_ns;
  CComRef<IWbemLocator> m_pLocator;
  CComRef<IWbemServices> m_pServices;
  std::unique_ptr<tQueryInfo[]> m_pQueries;
  DWORD m_dwCount;  // the records in use: 0 until every record is made
  LONG volatile m_lClosed;  // set by Close: RegisterNew makes nothing more
};
