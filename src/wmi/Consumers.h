// One connection to a WMI namespace with its fixed table of event queries and their states.
#pragma once

#include "common/ComTypes.h"
#include "common/Lock.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"
#include "sink/EventFilter.h"
#include "sink/WbemSink.h"
#include "wmi/QueryTypes.h"

#include <memory>

// A row of a namespace's query table.
struct tQueryEventsInfo {
  IndicateHandler pfnIndicate;
  SetStatusHandler pfnSetStatus;
  const wchar_t* pwszQuery;  // WQL
  // Its losses and recoveries are logged: every query but the instance queries of the driver's
  // classes, which come and go with their class, as its own queries say.
  bool bReportRegistration;
};

// A namespace: its path and its query table.
struct tNameSpaceInfo {
  const wchar_t* pwszPath;
  const tQueryEventsInfo* pRows;
  DWORD dwRows;
};

// What the service keeps of one query across its connections to WMI.
struct tQueryBook {
  LONG volatile lWanted;        // the service wants the query registered (it asked, and has not cancelled it)
  LONG volatile lReportedDown;  // the log says that its events are not received (reported rows only)
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
// rgpLeftover are registrations whose cancellation WMI refused: they no longer stand for the
// query, but WMI may still deliver to them, so they are cancelled again until WMI lets go of
// them, and their events pass the query's filter (CEventFilter) meanwhile.
struct tQueryInfo {
  static const size_t c_cLeftovers = 4;

  CCriticalSection csCall;
  CCriticalSection csStatus;
  CBSTR bstrQuery;
  EQueryStatus eStatus = qsInactive;
  CComRef<CWbemSink> pSink;  // one reference, or null
  CComRef<CWbemSink> rgpLeftover[c_cLeftovers];
  CEventFilter* pFilter = nullptr;  // one reference, shared with every sink of the query
  tQueryBook* pBook = nullptr;

  ~tQueryInfo() {
    if (pFilter) pFilter->Release();
  }
};

class CConsumers {
 public:
  explicit CConsumers(ENameSpace ns, tQueryBook* pBook = nullptr);
  ~CConsumers();
  CConsumers(const CConsumers&) = delete;
  CConsumers& operator=(const CConsumers&) = delete;

  // Makes and connects one object; on failure stores null and returns the error. pBook, if
  // given, holds one entry per query of the namespace and outlives the object: what the service
  // keeps of its queries from one connection to the next. With phrConnect a failure to connect
  // is not logged: *phrConnect receives its result instead (a reconnection says once that WMI is
  // gone, not at every attempt).
  static ErrorCode Create(CConsumers** ppConsumers, ENameSpace ns, tQueryBook* pBook = nullptr,
                          HRESULT* phrConnect = nullptr);
  // Whether pServices is this object's connection.
  bool UsesServices(const IWbemServices* pServices) const;
  // The connection's services, for a call that keeps the connection alive (a liveness check).
  IWbemServices* Services() const { return m_pServices.Get(); }

  // Registers or cancels one query; writes its new state to *pStatus (except for an option
  // outside the two values, which does nothing).
  ErrorCode CallExecNotificationQueryAsync(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus);
  ErrorCode CallCancelAsyncCall(EQueryEvent query, EQueryOption option, EQueryStatus* pStatus);
  EQueryStatus GetQueryStatus(EQueryEvent query);
  // WMI has sent a registration of the query its final status: if it is the query's current
  // registration (any, with dwRegistration 0), the query is no longer registered. A leftover
  // registration that ended is let go of. Any other registration changes nothing.
  ErrorCode EndRegistration(EQueryEvent query, DWORD dwRegistration);
  // Ends the query's registration if it was made no later than registration dwLastStale
  // (CWbemSink::MadeNoLaterThan): the class it depends on has gone since, so WMI delivers
  // nothing more to it, whether or not it said so. It is cancelled and the query is inactive,
  // and no longer wanted until it is registered again.
  ErrorCode CallEndStaleRegistration(EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus);
  // Registers the active query anew, and then cancels its registration, if that was made no
  // later than registration dwLastStale: the class it depends on was created since, so that
  // registration may be one that a silent removal left dead. While the two overlap, an event
  // that both deliver is handled once (CEventFilter). An active query stays active throughout,
  // and the log says nothing unless the new registration fails.
  ErrorCode CallRefreshRegistration(EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus);

  // Whether the service wants the query registered and it is not.
  bool IsMissing(EQueryEvent query);
  // Whether a registration whose cancellation WMI refused is still to be cancelled.
  bool HasLeftovers(EQueryEvent query);
  // Cancels again the registrations whose cancellation WMI refused.
  void CancelLeftovers(EQueryEvent query);

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
  EReport DecideReportLocked(EQueryEvent query, EReport change, HRESULT hr);
  void Report(EQueryEvent query, EReport report, HRESULT hr);
  // With csCall held and no current registration: registers the query with a sink of its own.
  ErrorCode RegisterNew(EQueryEvent query, EQueryStatus* pStatus);
  // With csCall held: cancels the current registration, if any (see the .cpp).
  ErrorCode CancelCurrent(EQueryEvent query, EQueryStatus* pStatus);
  // Cancels a registration that no longer stands for the query. True when WMI holds it no more
  // (cancelled, ended, or unknown to WMI); otherwise it is kept among the leftovers.
  bool CancelRegistration(tQueryInfo& record, CComRef<CWbemSink> pSink);
  static void SetWanted(tQueryInfo& record, bool bWanted);
  void ConnectFailed(const char* pszFormat, HRESULT hr);

  // Destroyed in reverse order: the records (their sinks) first, then services, then locator.
  ENameSpace m_ns;
  CComRef<IWbemLocator> m_pLocator;
  CComRef<IWbemServices> m_pServices;
  std::unique_ptr<tQueryBook[]> m_pOwnBook;  // without a book from the caller
  tQueryBook* m_pBook;
  std::unique_ptr<tQueryInfo[]> m_pQueries;
  DWORD m_dwCount;  // the records in use: 0 until every record is made
  LONG volatile m_lClosed;  // set by Close: RegisterNew makes nothing more
  HRESULT* m_phrQuiet;      // while connecting quietly: where a failure goes
};
