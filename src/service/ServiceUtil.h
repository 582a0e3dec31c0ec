// Process-wide service data and operations: the service's names and the shared pointer to the
// running WMI service object; status reports and stop; installation and removal.
#pragma once

#include "common/Platform.h"
#include "diagnostics/Error.h"

class CWMIService;

const size_t c_cchFullPathName = 260;  // 259 characters and the terminator
const size_t c_cchServiceName = 256;   // 255 characters and the terminator

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

  static CWMIService* GetWMIService();
  static void SetWMIService(CWMIService* pService);

  // Installation, removal and failure actions.
  static ErrorCode ServiceInstall(const char* pszSupportedDrivers);
  static ErrorCode ServiceUninstall(bool bQuiet);
  static ErrorCode Reconfig();

  // Status reports and stop.
  static ErrorCode ServiceShutdown(bool bUninstall);
  // Reports and remembers a status; null reports the remembered status again.
  static ErrorCode SetServiceStatus(SERVICE_STATUS* pStatus);
  // The status handle, registering the control handler on first use.
  static SERVICE_STATUS_HANDLE GetServiceHandle();
  static void SetServiceCntrlState(DWORD dwControl);
  static DWORD GetServiceCntrlState();

 private:
  static tServiceInfo s_ServiceInfo;
  static CWMIService* volatile s_pWMIService;
  static SERVICE_STATUS s_ssStatus;
  static SERVICE_STATUS_HANDLE s_sshHandle;
  static DWORD s_dwServiceCntrlState;
};
