// The running service's WMI connections, its query operations and its stop.
#pragma once

#include "common/ComTypes.h"
#include "common/Handle.h"
#include "common/Lock.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"
#include "wmi/QueryTypes.h"

#include <memory>

class CConnection;
class CConsumers;
struct tQueryBook;

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

  // The service thread's part of the run: it looks at what is due (a reconnection to WMI after
  // the connection was lost, a query the service wants that is not registered, a registration
  // WMI refused to cancel, an adapter table whose build did not complete, the liveness of the
  // connection where WMI's process cannot be watched) and hands the work to the workers, so
  // that it never waits for WMI itself. Returns how many milliseconds until it has to look
  // again, or INFINITE; *phWatch is a handle signalled when WMI's process ends, or null. With
  // every query registered and WMI's process watched, nothing is ever due: no wake-up.
  DWORD Maintain(HANDLE* phWatch);
  // The connection to WMI is lost: a call on pServices (null: a call of the service's own
  // connection) failed with a disconnection, WMI ended a registration as it stopped, or WMI's
  // process ended. Wakes the service thread; a loss of a connection that was replaced already
  // changes nothing.
  void NoteConnectionLoss(const IWbemServices* pServices);
  // WMI ended a registration on pServices with a code of its going away: the connection is tried
  // at once. Lost, it is made anew; working, the ends are the queries' own, and the log says so.
  void NoteSuspectedLoss(const IWbemServices* pServices);
  // On the service thread: the WMI process that Maintain gave to watch has ended. The connection
  // is tried at once: lost, it is made anew; working (the process that ended was one that a
  // restart was replacing as the connection was made), the new process is watched instead.
  void NoteWatchEnded();
  // Registers again every query that the service wants and that is not registered.
  void RegisterMissing();
  // Something went missing (CWMIServiceUtil::NoteQueryMissing): its retries start over at the
  // shortest delay.
  void NoteQueryMissing();
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
  // The start-up registrations of LogMain, also made again after a reconnection.
  void RegisterStartupQueries();
  // Whether a query the service wants is not registered, a registration is left to cancel, or
  // the adapter table is to be built again.
  bool AnythingMissing();
  // On a worker: the work Maintain handed over.
  static void MaintenanceTask(void* pvService);
  void RunMaintenance();
  bool TryReconnect();
  // Until the first liveness check of a new connection.
  static DWORD PingDelay(const CConnection* pConnection);
  // The connection works: the ends that waited for a look at it are the queries' own.
  void ConfirmEnds();
  // Hands the maintenance to the workers unless it is there already; under m_csMaintain.
  void PostMaintenanceLocked();
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
  std::unique_ptr<tQueryBook[]> m_rgpBooks[nsCount];  // what is kept of each query across connections

  // The maintenance, under m_csMaintain. Times are GetTickCount values.
  CCriticalSection m_csMaintain;
  bool m_bOutage;          // the connection is lost and not yet made anew
  DWORD m_dwReconnectDue, m_dwReconnectDelay;
  bool m_bRetryArmed;      // a retry of what is missing is due at m_dwRetryDue
  DWORD m_dwRetryDue, m_dwRetryDelay;
  bool m_bTaskPending;     // the maintenance waits on a worker
  bool m_bRetryNow;        // the task is to retry what is missing
  bool m_bPingNow;         // the task is to ask WMI whether the connection works
  DWORD m_dwPingDue;
  LONG volatile m_lNewLoss;  // something went missing since the last look
  LONG volatile m_lVerify;   // a registration ended as if WMI went away: the connection is to be tried
  bool m_bWatchEnded;        // under m_csMaintain: the watched process ended; no watch until the try
};
