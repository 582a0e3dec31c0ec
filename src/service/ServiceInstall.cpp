// Installing and removing the service from the console, and setting its failure actions at
// every start.
#include "common/Handle.h"
#include "common/Text.h"
#include "diagnostics/EventLog.h"
#include "service/ServiceUtil.h"

#include <cstdio>
#include <cstring>

namespace {

const char c_szEventSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s";
// The logs whose sources a driver may already have registered for itself.
const char c_szApplicationSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
const char c_szSystemSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\";
const char c_szDriverOption[] = "-d";
// What the Services console and "sc qdescription" show for the service.
const char c_szServiceDescription[] =
    "Writes the firmware messages of the supported RAID controllers to the Application event log and answers "
    "their requests for the host's time.";
const char c_szDependencies[] = "WinMgmt\0RasMan\0Eventlog\0";  // the literal adds the final zero
const DWORD c_dwTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE |
                                 EVENTLOG_AUDIT_SUCCESS | EVENTLOG_AUDIT_FAILURE;
// Controller records are errors, warnings and information.
const DWORD c_dwDriverTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
const DWORD c_dwUninstallAccess = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
// Restarting on failure is done on the service's behalf, so the handle also needs start access.
const DWORD c_dwReconfigAccess = SERVICE_CHANGE_CONFIG | SERVICE_START;
const DWORD c_dwRestartDelay = 500;
// The fixed lock-status record of a 32-bit build plus room for the owner's name.
const DWORD c_cbLockStatus = 268;
const size_t c_cchModulePath = MAX_PATH;

ErrorCode LastSystemError() { return CError::MapSystemError(GetLastError()); }

bool HasBlank(const char* psz) { return strpbrk(psz, " \t") != nullptr; }

size_t TrailingBackslashes(const char* psz, size_t cch) {
  size_t cchTrailing = 0;
  while (cchTrailing < cch && psz[cch - 1 - cchTrailing] == '\\') ++cchTrailing;
  return cchTrailing;
}

// The number of characters that AppendArgument writes for pszArg.
size_t ArgumentLength(const char* pszArg) {
  const size_t cch = strlen(pszArg);
  return HasBlank(pszArg) ? cch + TrailingBackslashes(pszArg, cch) + 2 : cch;
}

// Appends one argument of the registered command line. An argument with a blank goes between
// double quotes, and the backslashes that end it are doubled so that they stay backslashes
// (the runtime's argument splitter would otherwise read "\"" as a quote character).
char* AppendArgument(char* pszOut, const char* pszArg) {
  if (!HasBlank(pszArg)) {
    const size_t cch = strlen(pszArg);
    memcpy(pszOut, pszArg, cch);
    return pszOut + cch;
  }
  const size_t cch = strlen(pszArg);
  const size_t cchTrailing = TrailingBackslashes(pszArg, cch);
  *pszOut++ = '"';
  memcpy(pszOut, pszArg, cch);
  pszOut += cch;
  memset(pszOut, '\\', cchTrailing);
  pszOut += cchTrailing;
  *pszOut++ = '"';
  return pszOut;
}

// True when the list can be carried by the registered command line so that the service reads
// it back as the value of "-d": not empty, not taken for an option, and without a double quote.
bool IsRegistrableDriverList(const char* pszDrivers) {
  return pszDrivers && *pszDrivers && *pszDrivers != '-' && !strchr(pszDrivers, '"');
}

// The executable's own path, into a zero-filled buffer of c_cchModulePath characters; false, with
// the last error set, when it is missing or was cut to the buffer.
bool GetModulePath(char* pszModulePath) {
  const DWORD cchModulePath = GetModuleFileNameA(GetModuleHandleA(nullptr), pszModulePath, c_cchModulePath);
  if (cchModulePath == 0) return false;
  if (cchModulePath >= c_cchModulePath) {
    // Windows 2000 and XP cut the path without saying so in the last error.
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

LONG SetEventSourceValues(HKEY hKey, const char* pszModulePath, const DWORD& dwTypesSupported) {
  LONG lRet = RegSetValueExA(hKey, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(pszModulePath),
                             static_cast<DWORD>(strlen(pszModulePath) + 1));
  if (lRet == ERROR_SUCCESS)
    lRet = RegSetValueExA(hKey, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwTypesSupported),
                          sizeof(dwTypesSupported));
  return lRet;
}

// Registers the service name as an event source of the Application log, with the executable
// as its message file.
ErrorCode AddEventSourceKey(const char* pszServiceName, const char* pszModulePath) {
  CLocalMem pszKeyName(LocalAlloc(LPTR, strlen(pszServiceName) + strlen(c_szEventSourceKey) + 1));
  if (!pszKeyName) return ecOutOfMemory;
  char* pszKey = static_cast<char*>(pszKeyName.Get());
  snprintf(pszKey, strlen(pszServiceName) + strlen(c_szEventSourceKey) + 1, c_szEventSourceKey, pszServiceName);

  CRegKey hKey;
  LONG lRet = RegCreateKeyA(HKEY_LOCAL_MACHINE, pszKey, hKey.Put());
  if (lRet == ERROR_SUCCESS) lRet = SetEventSourceValues(hKey.Get(), pszModulePath, c_dwTypesSupported);
  return lRet == ERROR_SUCCESS ? ecNoError : CError::MapSystemError(static_cast<DWORD>(lRet));
}

// The key name pszLogKey + pszSource in a new block, or an empty owner when out of memory.
CLocalMem SourceKeyName(const char* pszLogKey, const char* pszSource) {
  const size_t cbKey = strlen(pszLogKey) + strlen(pszSource) + 1;
  CLocalMem pszKey(LocalAlloc(LPTR, cbKey));
  if (pszKey) snprintf(static_cast<char*>(pszKey.Get()), cbKey, "%s%s", pszLogKey, pszSource);
  return pszKey;
}

// False only when neither the Application nor the System log knows a source of this name. A key
// that cannot be looked at counts as present: it may belong to someone else.
bool EventSourceMayExist(const char* pszSource) {
  const char* const rgpszLogKeys[] = {c_szApplicationSourceKey, c_szSystemSourceKey};
  for (const char* pszLogKey : rgpszLogKeys) {
    CLocalMem pszKey(SourceKeyName(pszLogKey, pszSource));
    if (!pszKey) return true;
    CRegKey hKey;
    const LONG lRet = RegOpenKeyExA(HKEY_LOCAL_MACHINE, static_cast<const char*>(pszKey.Get()), 0, KEY_READ, hKey.Put());
    if (lRet != ERROR_FILE_NOT_FOUND) return true;
  }
  return false;
}

// Registers one driver name as an Application event source with the executable as its message
// file, so that the controller records written under that name render. A source that already
// exists is left alone: the driver's own registration wins. A key made here whose values cannot
// be written is removed again, so that a later install can try anew.
void AddDriverEventSource(const char* pszDriver, const char* pszModulePath) {
  // A key name is not empty and holds no backslash.
  if (!*pszDriver || AnsiHasChar(pszDriver, '\\') || EventSourceMayExist(pszDriver)) return;
  CLocalMem pszKey(SourceKeyName(c_szApplicationSourceKey, pszDriver));
  if (!pszKey) return;
  const char* pszKeyName = static_cast<const char*>(pszKey.Get());
  CRegKey hKey;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, pszKeyName, hKey.Put()) != ERROR_SUCCESS) return;
  if (SetEventSourceValues(hKey.Get(), pszModulePath, c_dwDriverTypesSupported) != ERROR_SUCCESS) {
    hKey.Reset();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, pszKeyName);
  }
}

// Registers every name of the driver list as an event source where none exists yet. These are
// not the service's own sources, so nothing here fails the installation.
void AddDriverEventSources(const char* pszDrivers, const char* pszModulePath) {
  CLocalMem pszScratch(LocalAlloc(LPTR, strlen(pszDrivers) + 1));
  if (!pszScratch) return;
  char* pszCursor = static_cast<char*>(pszScratch.Get());
  memcpy(pszCursor, pszDrivers, strlen(pszDrivers) + 1);
  while (const char* pszDriver = NextListEntry(&pszCursor)) AddDriverEventSource(pszDriver, pszModulePath);
}

// True when the Application source at pszKey names this executable, and nothing else, as its
// message file: a source that installation registered. A source that cannot be read, or that
// names another file (a driver's own registration), is someone else's.
bool IsOwnEventSource(const char* pszKey, const char* pszModulePath) {
  CRegKey hKey;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_QUERY_VALUE, hKey.Put()) != ERROR_SUCCESS) return false;
  // One byte more than the value may fill, so that a value stored without its terminator ends.
  char szFile[c_cchModulePath + 1] = {};
  DWORD dwType = 0;
  DWORD cbFile = c_cchModulePath;
  if (RegQueryValueExA(hKey.Get(), "EventMessageFile", nullptr, &dwType, reinterpret_cast<BYTE*>(szFile), &cbFile) !=
      ERROR_SUCCESS)
    return false;
  return (dwType == REG_EXPAND_SZ || dwType == REG_SZ) && AnsiEqualNoCase(szFile, pszModulePath);
}

// Removes the Application source of that name if it is this executable's; a source that is not,
// or that does not exist, is left as it is and is no failure.
LONG RemoveOwnEventSource(const char* pszSource, const char* pszModulePath) {
  if (!*pszSource || AnsiHasChar(pszSource, '\\')) return ERROR_SUCCESS;
  CLocalMem pszKey(SourceKeyName(c_szApplicationSourceKey, pszSource));
  if (!pszKey) return ERROR_NOT_ENOUGH_MEMORY;
  const char* pszKeyName = static_cast<const char*>(pszKey.Get());
  if (!IsOwnEventSource(pszKeyName, pszModulePath)) return ERROR_SUCCESS;
  return RegDeleteKeyA(HKEY_LOCAL_MACHINE, pszKeyName);
}

// Removes the event sources that installation registers for the service name and the driver
// list, where they still name this executable as their message file. Every source is tried;
// the result is the first failure.
ErrorCode RemoveOwnEventSources(const char* pszServiceName, const char* pszDrivers) {
  char szModulePath[c_cchModulePath] = {};
  if (!GetModulePath(szModulePath)) return LastSystemError();
  CLocalMem pszScratch(LocalAlloc(LPTR, strlen(pszDrivers) + 1));
  if (!pszScratch) return ecOutOfMemory;
  char* pszCursor = static_cast<char*>(pszScratch.Get());
  memcpy(pszCursor, pszDrivers, strlen(pszDrivers) + 1);

  LONG lFirst = RemoveOwnEventSource(pszServiceName, szModulePath);
  while (const char* pszDriver = NextListEntry(&pszCursor)) {
    const LONG lRet = RemoveOwnEventSource(pszDriver, szModulePath);
    if (lFirst == ERROR_SUCCESS) lFirst = lRet;
  }
  if (lFirst == ERROR_NOT_ENOUGH_MEMORY) return ecOutOfMemory;
  return lFirst == ERROR_SUCCESS ? ecNoError : CError::MapSystemError(static_cast<DWORD>(lFirst));
}

}  // namespace

ErrorCode CWMIServiceUtil::ServiceInstall(const char* pszSupportedDrivers) {
  // A list that the service could not read back from its command line would register a
  // service that can never start.
  if (!IsRegistrableDriverList(pszSupportedDrivers)) return ecBadParameter;

  const char* pszServiceName = GetServiceName();
  char szModulePath[c_cchModulePath] = {};
  // A missing or cut path would register a command line that starts nothing.
  if (!GetModulePath(szModulePath)) {
    const ErrorCode code = LastSystemError();
    printf("%s Service install failed.\r\n", pszServiceName);
    return code;
  }

  // Sized from the arguments as they are written (quotes and doubled trailing backslashes
  // included), two blanks and the terminator, so that no path or list can overrun it.
  const size_t cbImagePath =
      ArgumentLength(szModulePath) + ArgumentLength(c_szDriverOption) + ArgumentLength(pszSupportedDrivers) + 3;
  CLocalMem pszImagePath(LocalAlloc(LPTR, cbImagePath));
  if (!pszImagePath) return ecOutOfMemory;

  char* pszEnd = AppendArgument(static_cast<char*>(pszImagePath.Get()), szModulePath);
  *pszEnd++ = ' ';
  pszEnd = AppendArgument(pszEnd, c_szDriverOption);
  *pszEnd++ = ' ';
  pszEnd = AppendArgument(pszEnd, pszSupportedDrivers);
  *pszEnd = '\0';

  CScHandle hManager(OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CREATE_SERVICE));
  CScHandle hService;
  if (hManager)
    hService.Reset(CreateServiceA(hManager.Get(), pszServiceName, GetDisplayName(), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  static_cast<const char*>(pszImagePath.Get()), nullptr, nullptr, c_szDependencies,
                                  nullptr, nullptr));
  // The manager's own failure is the one reported when it could not be opened.
  const ErrorCode createCode = hService ? ecNoError : LastSystemError();
  pszImagePath.Reset();
  if (!hService) {
    printf("%s Service install failed.\r\n", pszServiceName);
    if (createCode == CError::MapSystemError(ERROR_SERVICE_EXISTS)) printf("Service might be installed already.\r\n");
    return createCode;
  }

  // The description only tells the administrator what the service is (the Services console,
  // "sc qdescription"); a service manager that cannot store it runs the service all the same,
  // so its failure fails nothing.
  SERVICE_DESCRIPTIONA description = {const_cast<char*>(c_szServiceDescription)};
  ChangeServiceConfig2A(hService.Get(), SERVICE_CONFIG_DESCRIPTION, &description);

  // The service stays installed if its event source cannot be registered; nothing is undone.
  const ErrorCode code = AddEventSourceKey(pszServiceName, szModulePath);
  if (code != ecNoError) {
    printf("%s Service failed to add to registry.\r\n", pszServiceName);
    return code;
  }
  AddDriverEventSources(pszSupportedDrivers, szModulePath);
  printf("%s Service installed.\r\nWorking filepath=%s\r\n", pszServiceName, szModulePath);
  return ecNoError;
}

ErrorCode CWMIServiceUtil::ServiceUninstall(bool bQuiet, const char* pszEventSources) {
  const char* pszServiceName = GetServiceName();
  CScHandle hManager(OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT));
  CScHandle hService;
  if (hManager) hService.Reset(OpenServiceA(hManager.Get(), pszServiceName, c_dwUninstallAccess));
  if (!hService) {
    const ErrorCode code = LastSystemError();
    if (!bQuiet) {
      printf("%s Service open failed.\r\n", pszServiceName);
      if (code == CError::MapSystemError(ERROR_SERVICE_DOES_NOT_EXIST)) printf("Service might not be installed yet.\r\n");
    }
    return code;
  }

  // A status that cannot be read is a failed removal: the service is left as it is.
  SERVICE_STATUS status = {};
  if (!QueryServiceStatus(hService.Get(), &status)) {
    const ErrorCode code = LastSystemError();
    if (!bQuiet) printf("%s Service uninstall failed.\r\n", pszServiceName);
    return code;
  }

  if (status.dwCurrentState != SERVICE_STOPPED && !ControlService(hService.Get(), SERVICE_CONTROL_STOP, &status)) {
    const ErrorCode code = LastSystemError();
    if (!bQuiet) {
      printf("%s Service shutdown failed, uninstallaton unsucessful.\r\n", pszServiceName);
      printf("%s Service uninstall failed.\r\n", pszServiceName);
    }
    return code;
  }

  // The event sources go before the service, so that a source that cannot be removed leaves the
  // service installed and the removal can be run again.
  if (pszEventSources) {
    const ErrorCode code = RemoveOwnEventSources(pszServiceName, pszEventSources);
    if (code != ecNoError) {
      if (!bQuiet) printf("%s Service failed to remove from registry.\r\n", pszServiceName);
      return code;
    }
  }

  // No wait for the stop: the manager removes the entry once the service has stopped.
  if (!DeleteService(hService.Get())) {
    const ErrorCode code = LastSystemError();
    if (!bQuiet) printf("%s Service uninstall failed.\r\n", pszServiceName);
    return code;
  }
  if (!bQuiet) printf("%s Service uninstalled.\r\n", pszServiceName);
  return ecNoError;
}

ErrorCode CWMIServiceUtil::Reconfig() {
  // Released in the order unlock, service, manager.
  CScHandle hManager(OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, GENERIC_READ | GENERIC_EXECUTE));
  if (!hManager) return LastSystemError();
  CScHandle hService;
  CScLock lock(LockServiceDatabase(hManager.Get()));
  if (!lock) {
    const DWORD dwError = GetLastError();
    if (dwError != ERROR_SERVICE_DATABASE_LOCKED) return CError::MapSystemError(dwError);
    // Another party is changing the configuration: leave the actions as they are.
    CLocalMem pLockStatus(LocalAlloc(LPTR, c_cbLockStatus));
    if (!pLockStatus) return ecOutOfMemory;
    DWORD cbNeeded = 0;
    if (QueryServiceLockStatusA(hManager.Get(), static_cast<LPQUERY_SERVICE_LOCK_STATUSA>(pLockStatus.Get()),
                                c_cbLockStatus, &cbNeeded))
      return ecNoError;
    const DWORD dwQueryError = GetLastError();
    CEventLog::Printf(EVENTLOG_INFORMATION_TYPE, c_dwMsgServiceError, "QueryServiceLockStatus fails. Error = 0x%08x\r\n",
                      static_cast<unsigned>(dwQueryError));
    return CError::MapSystemError(dwQueryError);
  }

  hService.Reset(OpenServiceA(hManager.Get(), GetServiceName(), c_dwReconfigAccess));
  if (!hService) {
    const ErrorCode code = LastSystemError();
    CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "OpenService fails in Reconfig()\r\n");
    return code;
  }

  // Restart twice after half a second each; after that, no action. The failure count is never
  // reset.
  SC_ACTION rgActions[] = {
      {SC_ACTION_RESTART, c_dwRestartDelay}, {SC_ACTION_RESTART, c_dwRestartDelay}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA failureActions = {};
  failureActions.dwResetPeriod = INFINITE;
  failureActions.cActions = sizeof(rgActions) / sizeof(rgActions[0]);
  failureActions.lpsaActions = rgActions;
  if (!ChangeServiceConfig2A(hService.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions)) {
    const DWORD dwError = GetLastError();
    CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgServiceError, "Cannot change service configuration. Error: 0x%08x\r\n",
                      static_cast<unsigned>(dwError));
    return CError::MapSystemError(dwError);
  }
  // From Windows Vista on, the actions can also follow a stop that reports an error, such as a
  // start that failed. Earlier systems know only the crash and refuse the setting, as an unknown
  // level or a bad parameter (as Wine does too): the call itself is the check of the system.
  // SERVICE_FAILURE_ACTIONS_FLAG, which the headers declare for Vista and later builds only.
  struct {
    BOOL fFailureActionsOnNonCrashFailures;
  } flag = {TRUE};
  if (!ChangeServiceConfig2A(hService.Get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
    const DWORD dwError = GetLastError();
    if (dwError != ERROR_INVALID_LEVEL && dwError != ERROR_INVALID_PARAMETER)
      CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgServiceError,
                        "The failure actions apply to crashes only: they could not be set for a stop that reports an "
                        "error. Error: 0x%08x\r\n",
                        static_cast<unsigned>(dwError));
  }
  return ecNoError;
}
