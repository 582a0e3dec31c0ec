// Waiting until the simulated machine is quiet, and driving a service by name.
#include <ksim/Host.h>
#include <ksim/Services.h>
#include <ksim/Wmi.h>

namespace ksim {

bool Settle(DWORD timeoutMilliseconds) {
  // Workers may raise more WMI calls and WMI may start more workers: wait until both are quiet
  // at the same moment.
  for (int i = 0; i < 100; ++i) {
    bool bIdle = wmi::WaitIdle(timeoutMilliseconds);
    bIdle = WaitForThreads(timeoutMilliseconds) && bIdle;
    if (bIdle && wmi::WaitIdle(0) && RunningThreads() == 0) return true;
  }
  return false;
}

DWORD StartServiceByName(const std::string& service, const std::vector<std::string>& args) {
  SC_HANDLE hScm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceA(hScm, service.c_str(), SERVICE_START);
  std::vector<LPCSTR> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  const DWORD dwError =
      StartServiceA(hService, static_cast<DWORD>(argv.size()), argv.empty() ? nullptr : argv.data()) ? 0
                                                                                                      : GetLastError();
  CloseServiceHandle(hService);
  CloseServiceHandle(hScm);
  return dwError;
}

DWORD ControlServiceByName(const std::string& service, DWORD control) {
  SC_HANDLE hScm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService =
      OpenServiceA(hScm, service.c_str(), SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_PAUSE_CONTINUE);
  SERVICE_STATUS ss = {};
  const DWORD dwError = ControlService(hService, control, &ss) ? 0 : GetLastError();
  CloseServiceHandle(hService);
  CloseServiceHandle(hScm);
  return dwError;
}

}  // namespace ksim
