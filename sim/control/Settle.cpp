// Waiting until the simulated machine is quiet, and driving a service by name.
#include <ksim/Host.h>
#include <ksim/Services.h>
#include <ksim/Wmi.h>

#include "internal/Handles.h"

#include <chrono>
#include <thread>

namespace ksim {

bool Settle(DWORD timeoutMilliseconds) {
  // Workers may make more WMI calls and WMI may hand them more work: wait until both are quiet
  // at the same moment. The product's threads are quiet when each has ended or is blocked in a
  // wait that nothing satisfies.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  for (;;) {
    const bool bWmiIdle = wmi::WaitIdle(timeoutMilliseconds);
    if (bWmiIdle && detail::ProductThreadsQuiet() && wmi::WaitIdle(0)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
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
      OpenServiceA(hScm, service.c_str(),
                   SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL);
  SERVICE_STATUS ss = {};
  const DWORD dwError = ControlService(hService, control, &ss) ? 0 : GetLastError();
  CloseServiceHandle(hService);
  CloseServiceHandle(hScm);
  return dwError;
}

}  // namespace ksim
