// The running service's WMI connections, its query operations and its stop.
#pragma once

#include "common/ComTypes.h"
#include "common/Handle.h"
#include "common/Lock.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"
#include "wmi/QueryTypes.h"

#include <memory>

class CConsumers;

// One connection to both namespaces: what a restart of WMI takes away and a reconnection makes
// anew. Reference counted, so that a query call still running keeps the connection it began on.
class CConnection {
 public:
  // Connects \\.\ROOT\WMI, then \\.\ROOT\CIMV2 (logging any failure); one reference, the caller's.
  static ErrorCode Create(CConnection** ppConnection);

  ULONG AddRef();
  ULONG Release();

  CConsumers& Consumers(ENameSpace ns) { return *m_rgpConsumers[ns]; }
  // No registration is made on it from now on, and every registration it holds is cancelled.
  void Close();

 private:
  CConnection();
  ~CConnection();
  CConnection(const CConnection&) = delete;
  CConnection& operator=(const CConnection&) = delete;

  LONG volatile m_lRef;
  std::unique_ptr<CConsumers> m_rgpConsumers[nsCount];
};

// Reference counted: the service thread, the stop and every handler that looked the object up
// hold their own reference, so the object outlives every call still running in it. The query
// operations are work of the service's run (CRundown): once the stop has begun they refuse with
// ecShuttingDown.
class CWMIService {
 public:
  // Builds and initialises the object (one reference, the caller's) and publishes it.
  static ErrorCode Create(CWMIService** ppService);

  ULONG AddRef();
  ULONG Release();

  // Registers the start-up queries; returns at once.
  ErrorCode LogMain();

  ErrorCode ExecQueryAsync(ENameSpace ns, EQueryEvent query, EQueryOption option, EQueryStatus* pStatus);
  ErrorCode CancelQueryAsync(ENameSpace ns, EQueryEvent query, EQueryOption option, EQueryStatus* pStatus);
  EQueryStatus GetQueryStatus(ENameSpace ns, EQueryEvent query);
  // A final status of one registration of a query (CConsumers::EndRegistration).
  ErrorCode EndRegistration(ENameSpace ns, EQueryEvent query, DWORD dwRegistration);
  // Ends a registration older than a class's deletion (CConsumers::CallEndStaleRegistration).
  ErrorCode EndStaleRegistration(ENameSpace ns, EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus);
  // Registers anew a registration older than a class's creation (CConsumers::CallRefreshRegistration).
  ErrorCode RefreshRegistration(ENameSpace ns, EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus);

  // A controller arrived (bArrived) or left: rebuilds the adapter table, then registers the
  // message and host-time queries if a supported controller is present (arrival), or cancels
  // them if none is left (removal). One controller event at a time, so that each decision
  // comes from a table enumerated after its event and is carried out before the next one is
  // taken.
  ErrorCode FollowControllers(bool bArrived);
  // An event came from an adapter the table does not know; the table was built when
  // CAdapterInfo::ScansBegun() was lScansBefore at its delivery. Waits for a controller event
  // that is being followed, then, unless a table built since the delivery stands or the last
  // such rebuild was less than a second ago, follows the controllers as for an arrival. So a
  // controller that WMI has not announced yet is served from its first message, and a flood of
  // events from an unknown device costs at most one rebuild a second.
  ErrorCode FollowUnknownAdapter(LONG lScansBefore);

  // True from the moment the stop begins.
  bool IsShuttingDown();
  // Writes the status record (information, c_dwMsgStatus): the supported drivers, the known
  // controllers with their drivers and whether they are served, each event query's state, the
  // event log's backlog and the counts since the start.
  void WriteStatus();
  // The stop: refuses new work, cancels every registration and releases the connection, lets the
  // events in hand be handled, ends the workers and releases the adapter table, then sets the
  // shutdown event. Every wait is bounded: a WMI call that hangs is left behind, with a warning,
  // so that the stop ends. pfnProgress, if given, is called about every half second while it
  // waits. A second call returns ecShuttingDown.
  ErrorCode ServiceShutdown(void (*pfnProgress)() = nullptr);
  // Blocks until the shutdown event is set.
  void WaitForShutdown();
  // Releases the connection and the adapter table.
  ErrorCode Uninitialize();

 protected:
  CWMIService();
  ~CWMIService();
  CWMIService(const CWMIService&) = delete;
  CWMIService& operator=(const CWMIService&) = delete;

  ErrorCode Initialize();
  ErrorCode InitializeSteps();

 private:
  // One of the calls of the run, for a scope; empty (false) once the stop has begun.
  class CCallGuard;

  // The current connection with a reference for the caller, or null.
  CComRef<CConnection> AcquireConnection();
  CComRef<CConnection> TakeConnection();
  // The thread that cancels the registrations at the stop (its argument: a tTeardown).
  static void __cdecl TeardownMain(void* pvTeardown);
  // With m_csControllers held: FollowControllers' work.
  ErrorCode FollowControllersLocked(bool bArrived);
  // Runs f on the namespace's consumers as one of the calls of the run: ecShuttingDown once the
  // stop has begun, ecBadParameter for a query the namespace does not have.
  template <typename F>
  ErrorCode CallConsumers(ENameSpace ns, EQueryEvent query, F f);
  // The same for an operation that reports a state: a null pStatus is ecBadParameter.
  template <typename F>
  ErrorCode CallConsumers(ENameSpace ns, EQueryEvent query, const EQueryStatus* pStatus, F f);

  CKernelHandle m_hShutdownEvent;
  CCriticalSection m_csConnection;
  CComRef<CConnection> m_pConnection;

  LONG volatile m_lRef;
  LONG volatile m_lStopBegun;
  CCriticalSection m_csControllers;  // one controller event at a time
  bool m_bUnknownScanned;    // under m_csControllers: a rebuild for an unknown adapter was made...
  DWORD m_dwUnknownScanned;  // ...at this tick count
};
