// The running service's WMI connections, its query operations and its stop signal.
#pragma once

#include "common/Handle.h"
#include "common/Lock.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"
#include "wmi/QueryTypes.h"

#include <memory>

class CConsumers;

// Reference counted: the service thread, the stop sequence and every handler that looked the
// object up hold their own reference, so the object outlives every call still running in it.
// The query operations are guarded by a rundown: once the stop has begun they refuse with
// ecShuttingDown, and the stop waits for those already inside before it releases the
// connections.
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
  ErrorCode SetQueryStatus(ENameSpace ns, EQueryEvent query, EQueryStatus value);
  // A final status of one registration of a query (CConsumers::EndRegistration).
  ErrorCode EndRegistration(ENameSpace ns, EQueryEvent query, DWORD dwRegistration);
  // Ends a registration older than a class's deletion (CConsumers::CallEndStaleRegistration).
  ErrorCode EndStaleRegistration(ENameSpace ns, EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus);
  // Registers anew a registration older than a class's creation (CConsumers::CallRefreshRegistration).
  ErrorCode RefreshRegistration(ENameSpace ns, EQueryEvent query, DWORD dwLastStale, EQueryStatus* pStatus);

  // Rebuilds the adapter table, as one of the calls the stop waits for, so that no table is
  // published after the stop has freed the last one.
  ErrorCode RescanAdapters();
  // A controller arrived (bArrived) or left: rebuilds the adapter table, then registers the
  // message and host-time queries if a supported controller is present (arrival), or cancels
  // them if none is left (removal). One controller event at a time, so that each decision
  // comes from a table enumerated after its event and is carried out before the next one is
  // taken.
  ErrorCode FollowControllers(bool bArrived);

  // True once the shutdown event is signalled.
  bool IsShuttingDown();
  // Unpublishes the object, cancels every query and releases the namespaces, lets the event
  // workers that were accepted finish (bounded; pfnProgress, if given, is called about every
  // half second while it waits), releases the adapter table and sets the shutdown event. A
  // second call returns ecShuttingDown.
  ErrorCode ServiceShutdown(void (*pfnProgress)() = nullptr);
  // Blocks until the shutdown event is set.
  void WaitForShutdown();
  // Releases the consumers and the adapter table.
  ErrorCode Uninitialize();

 protected:
  CWMIService();
  ~CWMIService();
  CWMIService(const CWMIService&) = delete;
  CWMIService& operator=(const CWMIService&) = delete;

  ErrorCode Initialize();
  ErrorCode InitializeSteps();

 private:
  // Holds one of the calls the stop waits for, for a scope; empty (false) once the stop has
  // begun, when the call must refuse with ecShuttingDown.
  class CCallGuard {
   public:
    explicit CCallGuard(CWMIService& service);
    ~CCallGuard();
    CCallGuard(const CCallGuard&) = delete;
    CCallGuard& operator=(const CCallGuard&) = delete;
    explicit operator bool() const { return m_pService != nullptr; }

   private:
    CWMIService* m_pService;
  };

  bool BeginCall();
  void EndCall();
  // Refuses new query calls and waits (bounded) for those still inside; false on time-out.
  bool RunDown(void (*pfnProgress)());
  void ReleaseConsumers();
  // Runs f on the namespace's consumers as one of the calls the stop waits for: ecShuttingDown
  // once the stop has begun, ecBadParameter for a query the namespace does not have.
  template <typename F>
  ErrorCode CallConsumers(ENameSpace ns, EQueryEvent query, F f);
  // The same for an operation that reports a state: a null pStatus is ecBadParameter.
  template <typename F>
  ErrorCode CallConsumers(ENameSpace ns, EQueryEvent query, const EQueryStatus* pStatus, F f);

  CKernelHandle m_hShutdownEvent;
  std::unique_ptr<std::unique_ptr<CConsumers>[]> m_ppConsumers;
  DWORD m_dwCount;

  LONG volatile m_lRef;
  LONG volatile m_lStopBegun;
  CCriticalSection m_csCalls;
  LONG m_lActiveCalls;
  bool m_bRefuseCalls;
  CKernelHandle m_hCallsDone;
  CCriticalSection m_csControllers;  // one controller event at a time
};
