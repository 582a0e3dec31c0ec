#include "Scenario.h"

#include "MachineCommands.h"

#include <MessageTableResource.h>
#include <ksim/EventLog.h>
#include <ksim/Host.h>
#include <ksim/Machine.h>
#include <ksim/Scm.h>
#include <ksim/Services.h>
#include <ksim/Wmi.h>

#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <map>

int KorvlogMain(int argc, char* argv[]);

namespace demo {
namespace {

const char kModulePath[] = "C:\\korvlog\\korvlog.exe";

// Waits until WMI has delivered everything, every event worker has ended, and the service (if
// it runs) waits for its stop.
void Settle(const std::string& service) {
  auto info = ksim::FindService(service);
  if (info && info->status.dwCurrentState == SERVICE_RUNNING) ksim::WaitForServiceIdle(service, 10000);
  ksim::Settle();
}

class Player {
 public:
  explicit Player(std::ostream& out) : m_out(out) {}

  bool Play(const Command& c, std::string* pError) {
    const std::vector<std::string>& w = c.words;
    const std::string& verb = w[0];
    auto fail = [&](const std::string& why) {
      *pError = "line " + std::to_string(c.line) + ": " + why;
      return false;
    };
    if (verb == "clock") {
      SYSTEMTIME st = {};
      long bias = 0;
      if (w.size() < 3 || std::sscanf(w[1].c_str(), "%hu-%hu-%hu", &st.wYear, &st.wMonth, &st.wDay) != 3 ||
          std::sscanf(w[2].c_str(), "%hu:%hu:%hu", &st.wHour, &st.wMinute, &st.wSecond) != 3 ||
          (w.size() > 3 && !ParseNumber(w[3], &bias)))
        return fail("clock YYYY-MM-DD HH:MM:SS [bias minutes]");
      m_lBias = bias;
      ksim::SetClock(st, static_cast<LONG>(bias));
    } else if (verb == "advance") {
      long ms = 0;
      if (w.size() != 2 || !ParseNumber(w[1], &ms) || ms < 0) return fail("advance MILLISECONDS");
      ksim::AdvanceClock(static_cast<DWORD>(ms));
    } else if (IsMachineCommand(c)) {
      if (!m_machine.Play(c, pError)) return false;
    } else if (verb == "korvlog") {
      RunKorvlog(std::vector<std::string>(w.begin() + 1, w.end()));
    } else if (verb == "eventsource" && w.size() == 3) {
      if (!RegisterMessageSource(w[1], w[2])) return fail("cannot register the event source");
    } else if (verb == "start") {
      if (DWORD dwError = Start(std::vector<std::string>(w.begin() + 1, w.end())))
        return fail("StartService failed with error " + std::to_string(dwError));
    } else if (verb == "stop" && w.size() == 1) {
      if (DWORD dwError = ksim::ControlServiceByName(m_service, SERVICE_CONTROL_STOP))
        return fail("the stop control failed with error " + std::to_string(dwError));
      ksim::WaitForServiceProcesses(30000);
    } else if (verb == "interrogate" && w.size() == 1) {
      if (DWORD dwError = ksim::ControlServiceByName(m_service, SERVICE_CONTROL_INTERROGATE))
        return fail("the interrogate control failed with error " + std::to_string(dwError));
    } else if (verb == "wait" && w.size() == 1) {
    } else {
      return fail("unknown command: " + verb);
    }
    // Every step is played out before the next: messages of one controller share the
    // instance the driver keeps for them.
    Settle(m_service);
    return true;
  }

  const std::string& Service() const { return m_service; }
  LONG Bias() const { return static_cast<LONG>(m_lBias); }

 private:
  void RunKorvlog(const std::vector<std::string>& args) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
      if ((args[i] == "-i" || args[i] == "-I") && !args[i + 1].empty()) m_service = args[i + 1];
    std::vector<std::string> storage{kModulePath};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    m_out.flush();
    std::fflush(stdout);
    const int rc = KorvlogMain(static_cast<int>(storage.size()), argv.data());
    std::fflush(stdout);
    m_out << "\n  (exit status " << rc << ")\n";
  }

  DWORD Start(const std::vector<std::string>& args) {
    const DWORD dwError = ksim::StartServiceByName(m_service, args);
    if (!dwError) ksim::WaitForServiceIdle(m_service, 30000);
    return dwError;
  }

  std::ostream& m_out;
  std::string m_service = "korvlog";
  MachinePlayer m_machine;
  long m_lBias = 0;
};

LONG g_lBias = 0;

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

}  // namespace

bool PlayScenario(const std::vector<Command>& commands, std::ostream& out, std::string* pError) {
  ksim::SetModulePath(kModulePath);
  ksim::SetProcessEntry(KorvlogMain);
  ksim::SetVirtualSleep(true);
  // korvlog.exe carries its message table; Event Viewer reads it through EventMessageFile.
  ksim::SetModuleMessageTable(kModulePath, std::vector<BYTE>(std::begin(c_rgbMessageTableResource),
                                                             std::end(c_rgbMessageTableResource)));
  MachinePlayer::SetUp();
  Player player(out);
  for (const Command& c : commands) {
    out << "> " << CommandText(c) << "\n";
    if (!player.Play(c, pError)) return false;
  }
  Settle(player.Service());
  ksim::WaitForServiceProcesses(30000);
  g_lBias = player.Bias();
  return true;
}

void PrintEventLog(std::ostream& out) {
  out << std::left << std::setw(21) << "Date and Time" << std::setw(13) << "Level" << std::setw(10) << "Source"
      << std::setw(10) << "Event ID" << "Message\n";
  for (const ksim::EventRecord& r : ksim::EventLogRecords()) {
    // Event Viewer shows local time and the code part of the identifier.
    FILETIME ft = {};
    SystemTimeToFileTime(&r.timeWritten, &ft);
    ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    ticks -= static_cast<ULONGLONG>(static_cast<LONGLONG>(g_lBias) * 60 * 10000000);
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME local = {};
    FileTimeToSystemTime(&ft, &local);
    char szTime[48];
    std::snprintf(szTime, sizeof(szTime), "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay,
                  local.wHour, local.wMinute, local.wSecond);
    const char* pszLevel = r.type == EVENTLOG_ERROR_TYPE     ? "Error"
                           : r.type == EVENTLOG_WARNING_TYPE ? "Warning"
                                                             : "Information";
    out << std::setw(21) << szTime << std::setw(13) << pszLevel << std::setw(10) << r.source << std::setw(10)
        << (r.eventId & 0xFFFF) << Trimmed(ksim::RenderEventRecord(r)) << "\n";
  }
}

void PrintStatusReports(std::ostream& out, const std::string& service) {
  static const char* const kStates[] = {"",        "stopped",          "start pending",   "stop pending",
                                        "running", "continue pending", "pause pending",   "paused"};
  for (const ksim::StatusReport& r : ksim::StatusReports(service)) {
    const SERVICE_STATUS& s = r.status;
    out << "  " << std::setw(14) << (s.dwCurrentState < 8 ? kStates[s.dwCurrentState] : "?") << " type 0x"
        << std::hex << s.dwServiceType << std::dec << ", accepts " << s.dwControlsAccepted << ", exit codes "
        << s.dwWin32ExitCode << "/" << s.dwServiceSpecificExitCode << ", check point " << s.dwCheckPoint
        << ", wait hint " << s.dwWaitHint << " ms\n";
  }
}

}  // namespace demo
