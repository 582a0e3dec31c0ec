// Plays a scenario of the demo's language on Windows (under Wine) against the real korvlog.exe:
// korvlog.exe runs from a console for its own commands and as a service of the Service Control
// Manager; the machine commands go to the WMI stand-in (StandIn.cpp), which it loads in place of
// the platform's WMI. It prints every step as the demo does; the records and the status reports
// are the platform's to show.
//
//   korvlog-scenario SCENARIO-FILE
// korvlog.exe and korvlog-wmi-standin.dll are beside the player; registering the stand-in as
// the server of CLSID_WbemLocator is the player's first act.
#include "Scenario.h"

#include <wbemidl.h>
#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kPipeName[] = "\\\\.\\pipe\\korvlog-wmi-standin";
const char kLocatorKey[] = "Software\\Classes\\CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";

std::string g_folder;  // the player's folder, with a trailing backslash

std::string Folder() {
  char szPath[MAX_PATH + 1] = {};
  DWORD dwLength = GetModuleFileNameA(nullptr, szPath, MAX_PATH);
  std::string path(szPath, dwLength);
  return path.substr(0, path.find_last_of('\\') + 1);
}

bool SetString(HKEY hKey, const char* pszName, const std::string& value) {
  return RegSetValueExA(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool RegisterStandIn() {
  HKEY hKey = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLocatorKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr) !=
      ERROR_SUCCESS)
    return false;
  bool bOk = SetString(hKey, nullptr, g_folder + "korvlog-wmi-standin.dll") && SetString(hKey, "ThreadingModel", "Both");
  RegCloseKey(hKey);
  return bOk;
}

// A command-line argument as the C runtime splits it back.
std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

class Player {
 public:
  bool Play(const demo::Command& c, std::string* pError) {
    const std::vector<std::string>& w = c.words;
    const std::string& verb = w[0];
    auto fail = [&](const std::string& why) {
      *pError = "line " + std::to_string(c.line) + ": " + why;
      return false;
    };
    if (verb == "clock" || verb == "advance") {
      // The machine's own clock runs under Wine: nothing to set.
    } else if (demo::IsMachineCommand(c)) {
      std::ofstream(g_folder + "machine.scenario", std::ios::binary | std::ios::app) << demo::CommandText(c) << "\n";
      if (Running() && !Send(demo::CommandText(c), pError)) return fail(*pError);
    } else if (verb == "korvlog") {
      if (!RunKorvlog(std::vector<std::string>(w.begin() + 1, w.end()))) return fail("korvlog.exe did not run");
    } else if (verb == "eventsource" && w.size() == 3) {
      if (!demo::RegisterMessageSource(w[1], w[2])) return fail("cannot register the event source");
    } else if (verb == "start") {
      if (DWORD dwError = Start(std::vector<std::string>(w.begin() + 1, w.end())))
        return fail("StartService failed with error " + std::to_string(dwError));
    } else if (verb == "stop" && w.size() == 1) {
      if (DWORD dwError = Stop()) return fail("the stop control failed with error " + std::to_string(dwError));
    } else if (verb == "interrogate" && w.size() == 1) {
      if (DWORD dwError = Control(SERVICE_CONTROL_INTERROGATE, nullptr))
        return fail("the interrogate control failed with error " + std::to_string(dwError));
    } else if (verb != "wait" || w.size() != 1) {
      return fail("unknown command: " + verb);
    }
    // Every step is played out before the next, as on the simulated host.
    if (Running() && !Send("settle", pError)) return fail(*pError);
    return true;
  }

 private:
  SC_HANDLE OpenKorvlog(DWORD dwAccess) {
    SC_HANDLE hScm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!hScm) return nullptr;
    SC_HANDLE hService = OpenServiceA(hScm, m_service.c_str(), dwAccess);
    CloseServiceHandle(hScm);
    return hService;
  }

  bool Query(SERVICE_STATUS_PROCESS* pStatus) {
    SC_HANDLE hService = OpenKorvlog(SERVICE_QUERY_STATUS);
    DWORD dwNeeded = 0;
    bool bOk = hService && QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(pStatus),
                                                sizeof(*pStatus), &dwNeeded);
    if (hService) CloseServiceHandle(hService);
    return bOk;
  }

  bool Running() {
    SERVICE_STATUS_PROCESS status = {};
    return Query(&status) && status.dwCurrentState == SERVICE_RUNNING;
  }

  // One command to the stand-in in the service's process, and its answer.
  bool Send(const std::string& line, std::string* pError) {
    HANDLE hPipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 300 && hPipe == INVALID_HANDLE_VALUE; ++attempt) {
      hPipe = CreateFileA(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (hPipe == INVALID_HANDLE_VALUE) Sleep(100);
    }
    if (hPipe == INVALID_HANDLE_VALUE) {
      *pError = "the WMI stand-in does not answer (error " + std::to_string(GetLastError()) + ")";
      return false;
    }
    std::string request = line + "\n", reply;
    DWORD dwDone = 0;
    char buffer[512];
    bool bOk = WriteFile(hPipe, request.data(), static_cast<DWORD>(request.size()), &dwDone, nullptr);
    while (bOk && reply.find('\n') == std::string::npos && ReadFile(hPipe, buffer, sizeof(buffer), &dwDone, nullptr) &&
           dwDone > 0)
      reply.append(buffer, dwDone);
    CloseHandle(hPipe);
    reply = reply.substr(0, reply.find('\n'));
    if (reply.compare(0, 2, "ok") == 0 && (reply.size() == 2 || reply[2] == '\t')) {
      // The SetAdapterTime calls that the step made, into the log beside its records.
      for (size_t at = reply.find('\t'); at != std::string::npos;) {
        size_t next = reply.find('\t', at + 1);
        std::cerr << "korvlog-scenario: SetAdapterTime " << reply.substr(at + 1, next - at - 1) << std::endl;
        at = next;
      }
      return true;
    }
    *pError = "the WMI stand-in answered [" + reply + "] to [" + line + "]";
    return false;
  }

  bool RunKorvlog(const std::vector<std::string>& args) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
      if ((args[i] == "-i" || args[i] == "-I") && !args[i + 1].empty()) m_service = args[i + 1];
    std::string commandLine = Quoted(g_folder + "korvlog.exe");
    for (const std::string& a : args) commandLine += " " + Quoted(a);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hRead = nullptr, hWrite = nullptr;
    if (!CreatePipe(&hRead, &hWrite, &sa, 0)) return false;
    SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = hWrite;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    const bool bStarted = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(hWrite);
    std::string output;
    char buffer[4096];
    DWORD dwRead = 0;
    while (bStarted && ReadFile(hRead, buffer, sizeof(buffer), &dwRead, nullptr) && dwRead > 0) output.append(buffer, dwRead);
    CloseHandle(hRead);
    if (!bStarted) return false;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExit = 0;
    GetExitCodeProcess(pi.hProcess, &dwExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::cout << output << "\n  (exit status " << dwExit << ")\n";
    return true;
  }

  // Waits up to limit ms while the service is in state dwWhile.
  SERVICE_STATUS_PROCESS WaitWhile(DWORD dwWhile, DWORD dwLimit) {
    SERVICE_STATUS_PROCESS status = {};
    for (DWORD dwWaited = 0; Query(&status) && status.dwCurrentState == dwWhile && dwWaited < dwLimit; dwWaited += 50)
      Sleep(50);
    return status;
  }

  DWORD Start(const std::vector<std::string>& args) {
    SC_HANDLE hService = OpenKorvlog(SERVICE_START);
    if (!hService) return GetLastError();
    std::vector<LPCSTR> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    const DWORD dwError =
        StartServiceA(hService, static_cast<DWORD>(argv.size()), argv.empty() ? nullptr : argv.data()) ? 0 : GetLastError();
    CloseServiceHandle(hService);
    if (!dwError) WaitWhile(SERVICE_START_PENDING, 60000);
    return dwError;
  }

  DWORD Control(DWORD dwControl, SERVICE_STATUS* pStatus) {
    SC_HANDLE hService = OpenKorvlog(SERVICE_STOP | SERVICE_INTERROGATE);
    if (!hService) return GetLastError();
    SERVICE_STATUS status = {};
    const DWORD dwError = ControlService(hService, dwControl, pStatus ? pStatus : &status) ? 0 : GetLastError();
    CloseServiceHandle(hService);
    return dwError;
  }

  // Stops the service and waits until its process has ended.
  DWORD Stop() {
    SERVICE_STATUS_PROCESS before = {};
    Query(&before);
    HANDLE hProcess = before.dwProcessId ? OpenProcess(SYNCHRONIZE, FALSE, before.dwProcessId) : nullptr;
    const DWORD dwError = Control(SERVICE_CONTROL_STOP, nullptr);
    if (!dwError) WaitWhile(SERVICE_STOP_PENDING, 30000);
    if (hProcess) {
      WaitForSingleObject(hProcess, 30000);
      CloseHandle(hProcess);
    }
    return dwError;
  }

  std::string m_service = "korvlog";
};

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::cerr << "usage: korvlog-scenario SCENARIO-FILE\n";
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  std::vector<demo::Command> commands;
  std::string error;
  if (!file || !demo::ParseScenario(text.str(), &commands, &error)) {
    std::cerr << "korvlog-scenario: " << argv[1] << ": " << (file ? error : "cannot read it") << "\n";
    return 2;
  }
  // korvlog's texts carry their own \r\n, as the demo passes them on.
  _setmode(_fileno(stdout), _O_BINARY);
  g_folder = Folder();
  DeleteFileA((g_folder + "machine.scenario").c_str());
  if (!RegisterStandIn()) {
    std::cerr << "korvlog-scenario: cannot register the WMI stand-in\n";
    return 1;
  }
  std::cout << "Playing the " << argv[1] << " under Wine.\n\n";
  Player player;
  for (size_t i = 0; i < commands.size(); ++i) {
    const demo::Command& c = commands[i];
    std::cout << "> " << demo::CommandText(c) << "\n" << std::flush;
    // A marker in the log that the service writes its records to, so that each record there is
    // known by its step.
    std::cerr << "korvlog-scenario: step " << i + 1 << ": " << demo::CommandText(c) << std::endl;
    if (!player.Play(c, &error)) {
      std::cerr << "korvlog-scenario: " << argv[1] << ": " << error << "\n";
      return 1;
    }
  }
  return 0;
}
