// The running service's WMI connections, its query operations and its stop signal.
#pragma once

#include "common/Lock.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"
#include "wmi/QueryTypes.h"

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

  // Rebuilds the adapter table, as one of the calls the stop waits for, so that no table is
  // published after the stop has freed the last one.
  ErrorCode RescanAdapters();

  // True once the shutdown event is signalled.
  bool IsShuttingDown();
  // Unpublishes the object, releases the namespaces and the adapter table, and sets the
  // shutdown event. A second call returns ecShuttingDown.
  ErrorCode ServiceShutdown();
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
  bool BeginCall();
  void EndCall();
  // Refuses new query calls and waits (bounded) for those still inside; false on time-out.
  bool RunDown();

  HANDLE m_hShutdownEvent;
  CConsumers** m_ppConsumers;
  DWORD m_dwCount;

  LONG volatile m_lRef;
  LONG volatile m_lStopBegun;
  CCriticalSection m_csCalls;
  LONG m_lActiveCalls;
  bool m_bRefuseCalls;
  HANDLE m_hCallsDone;
};
