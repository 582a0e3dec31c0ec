// The process entry: the console modes (install, uninstall, usage) and the service run.
#include "adapters/AdapterInfo.h"
#include "service/CommandLine.h"
#include "service/ServiceRuntime.h"
#include "service/ServiceUtil.h"

#include <cstdio>
#include <memory>

namespace {

// Carries out the parsed command line. The service name is already stored.
ErrorCode Dispatch(const tDispatchInfo* pInfo) {
  switch (pInfo->dwAction) {
    case daInstall:
      if (!pInfo->pszSupportedDrivers) return ecBadParameter;
      return CWMIServiceUtil::ServiceInstall(pInfo->pszSupportedDrivers);
    case daUninstall:
      // With "-d", the event sources of the list are removed too.
      return CWMIServiceUtil::ServiceUninstall(false, pInfo->pszSupportedDrivers);
    case daCheck:
      return ecInternalError;
    default:
      break;
  }

  if (!pInfo->pszSupportedDrivers) return ecBadParameter;
  ErrorCode code = CAdapterInfo::CreateSupportedDriverInfo(pInfo->pszSupportedDrivers);
  if (code == ecNoError) {
    PrepareServiceRun();
    SERVICE_TABLE_ENTRYA table[] = {{pInfo->pszServiceName, ServiceMain}, {nullptr, nullptr}};
    // Blocks while the service runs; ServiceMain frees the driver list on its way out.
    if (StartServiceCtrlDispatcherA(table)) return ecNoError;
    code = CError::MapSystemError(GetLastError());
    printf("Error StartServiceCtrlDispatcher.  Please run \"korvlog -h\" for help.\r\n");
  }
  // ServiceMain never ran: the list (or what a failed build left of it) is freed here.
  CAdapterInfo::DeleteSupportedDriverInfo(nullptr);
  return code;
}

}  // namespace

int main(int argc, char* argv[]) {
  // The texts carry their own "\r\n"; a text-mode stdout would turn them into "\r\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  // Multibyte comparisons follow the system ANSI code page.
  _setmbcp(_MB_CP_ANSI);

  const char* pszPath = argc > 0 ? argv[0] : nullptr;
  char szProgramName[256];
  GetProgramName(pszPath, szProgramName, sizeof(szProgramName));

  tDispatchInfo* pParsed = nullptr;
  ErrorCode code = CWMIServiceUtil::SetFullPathName(pszPath);
  if (code == ecNoError) code = ParseArguments(static_cast<DWORD>(argc), argv, &pParsed);
  // The options parsed, also those of a command line that was refused.
  const std::unique_ptr<tDispatchInfo> pInfo(pParsed);
  if (code == ecNoError) {
    if (!pInfo->pszServiceName || !*pInfo->pszServiceName) pInfo->pszServiceName = szProgramName;
    code = CWMIServiceUtil::SetServiceName(pInfo->pszServiceName);
    if (code == ecNoError) code = CWMIServiceUtil::SetDisplayName(pInfo->pszServiceName);
  }
  if (code == ecNoError) code = Dispatch(pInfo.get());

  // A successful install or uninstall has printed its own confirmation.
  if (code != ecNoError) PrintUsage(szProgramName, code);
  fflush(stdout);
  return code == ecNoError ? 0 : 1;
}
