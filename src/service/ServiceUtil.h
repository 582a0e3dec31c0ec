// Process-wide service data and operations: the service's names and the shared pointer to the
// running WMI service object; status reports and stop; installation and removal.
#pragma once

#include "common/Platform.h"
#include "diagnostics/Error.h"

class CWMIService;

const size_t c_cchFullPathName = 260;  // 259 characters and the terminator
const size_t c_cchServiceName = 256;   // 255 characters and the terminator

// The user-defined control that asks the running service for a status record
// (sc control <service> 128).
const DWORD c_dwControlStatus = 128;

struct tServiceInfo {
  char szFullPathName[c_cchFullPathName];
  char szServiceName[c_cchServiceName];
  char szDisplayName[c_cchServiceName];
};

class CWMIServiceUtil {
 public:
  // Each copies the text with its terminator. Empty or null text leaves the field unchanged;
  // text longer than the field holds is refused with ecBadParameter and changes nothing.
  static ErrorCode SetFullPathName(const char* pszFullPathName);
  static ErrorCode SetServiceName(const char* pszServiceName);
  static ErrorCode SetDisplayName(const char* pszDisplayName);
  // The stored texts, valid for the life of the process.
  static const char* GetServiceName();
  static const char* GetDisplayName();

  // The published object, read without taking a reference; only for callers that already
  // hold one.
  static CWMIService* GetWMIService();
  // The published object with a reference for the caller (who releases it), or null once the
  // stop has begun. Taken under the same lock as SetWMIService, so that the object cannot go
  // between the read and the reference.
  static CWMIService* AcquireWMIService();
  // Publishes an object (taking a reference for the publication) or clears it (releasing it).
  static void SetWMIService(CWMIService* pService);

  // Installation, removal and failure actions.
  static ErrorCode ServiceInstall(const char* pszSupportedDrivers);
  // Stops and deletes the service. With a driver list (which may be empty), the event sources
  // that installation registered for the service name and for the list are removed first, where
  // they still name this executable as their message file; without one they stay, so that the
  // records already in the log keep their text.
  static ErrorCode ServiceUninstall(bool bQuiet, const char* pszEventSources = nullptr);
  static ErrorCode Reconfig();

  // Status reports and stop.
  // The stop, on the service thread: reports stop pending unless a stop control did, stops the
  // service object (if any; bounded, with progress reports), releases the caller's reference to
  // it, and reports stopped as its last act.
  // ecStart is the error of a start that failed: stopped then carries it as its exit code (the
  // Windows error of a system error code, otherwise ERROR_SERVICE_SPECIFIC_ERROR with the code).
  // Returns ecStart, or the result of the object's stop.
  static ErrorCode ServiceShutdown(CWMIService* pService, ErrorCode ecStart);
  // Reports and remembers a status; null reports the remembered status again.
  static ErrorCode SetServiceStatus(SERVICE_STATUS* pStatus);
  // The remembered status.
  static SERVICE_STATUS GetServiceStatus();
  // The status handle, registering the control handler on first use.
  static SERVICE_STATUS_HANDLE GetServiceHandle();
  static void SetServiceCntrlState(DWORD dwControl);
  static DWORD GetServiceCntrlState();
  // Forgets the status, the status handle and the last control of an earlier run of the
  // service main in this process, so that every start begins as the first one does.
  static void ResetServiceStatus();
  // While a stop is pending: reports stop pending again with the next check point, so that the
  // Service Control Manager sees the stop make progress.
  static void ReportStopProgress();
  // Reports running unless the stop has begun; false then.
  static bool ReportRunning();
  // The status control (c_dwControlStatus) asks for a status record; the service thread writes it.
  static void RequestStatus();
  // Wakes the service thread to look at what is due (CWMIService::Maintain).
  static void WakeServiceThread();
  // A WMI call on pServices (null: of the service's own connection) failed with hr: when hr says
  // that the connection to WMI is lost (a disconnection, or WMI shutting down), the service
  // connects again.
  static void NoteWmiFailure(HRESULT hr, const IWbemServices* pServices = nullptr);
  // WMI ended a registration on pServices with a code of its going away: the service looks at
  // the connection, and connects again if it is lost.
  static void NoteSuspectedLoss(const IWbemServices* pServices);
  // A query that the service wants is not registered (refused, or ended by WMI): it is retried.
  static void NoteQueryMissing();

 private:
  static tServiceInfo s_ServiceInfo;
  static CWMIService* volatile s_pWMIService;
  static SERVICE_STATUS s_ssStatus;
  static SERVICE_STATUS_HANDLE s_sshHandle;
  static DWORD s_dwServiceCntrlState;
};
