// The churn soak: korvlog installed, started, and played randomized cycles of controllers and the
// RAID driver coming and going, under every order and final status WMI may choose, with storms of
// messages and host-time requests, and stopped in the middle of one. After every quiet phase it
// checks what users rely on:
//   - while the driver is loaded and a supported controller is present, the message and
//     host-time queries each have exactly one live registration (and never two at any time);
//   - every message raised then is logged exactly once, every host-time request answered once;
//   - the stop ends within the wait hint, leaves nothing registered and nothing alive.
//
//   korvlog_soak [--seconds N | --minutes N] [--seed S] [--cycles N] [--verbose]
//
// Every cycle plays an action script drawn from its own seed. A failure prints that seed; run
// `korvlog_soak --seed <seed> --cycles 1` to play the same script again.
#include "support/ServiceHost.h"

#include <MessageTableResource.h>
#include <ksim/Com.h>
#include <ksim/EventLog.h>
#include <ksim/Faults.h>
#include <ksim/Host.h>
#include <ksim/Machine.h>
#include <ksim/Scm.h>
#include <ksim/Services.h>
#include <ksim/Wmi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using ktest::kQueryHostTime;
using ktest::kQueryMessages;
using ktest::kServiceModulePath;
using ktest::kServiceName;

const char kDriverList[] = "velk4,qtr";
const wchar_t kRaidDriver[] = L"velk4";  // the loaded driver serves the velk4 controllers

const DWORD kWaitHintMs = 6000;

struct Removal {
  const char* name;
  ksim::wmi::ClassRemoval behaviour;
  HRESULT hr;
};
const Removal kRemovals[] = {
    {"silent", ksim::wmi::ClassRemoval::Silent, S_OK},
    {"cancelled", ksim::wmi::ClassRemoval::StatusError, static_cast<HRESULT>(WBEM_E_CALL_CANCELLED)},
    {"failed", ksim::wmi::ClassRemoval::StatusError, static_cast<HRESULT>(WBEM_E_FAILED)},
    {"invalid-class", ksim::wmi::ClassRemoval::StatusError, static_cast<HRESULT>(WBEM_E_INVALID_CLASS)},
    {"provider-failure", ksim::wmi::ClassRemoval::StatusError, static_cast<HRESULT>(WBEM_E_PROVIDER_FAILURE)},
    {"shutting-down", ksim::wmi::ClassRemoval::StatusError, static_cast<HRESULT>(WBEM_E_SHUTTING_DOWN)},
};
const ksim::wmi::CancelOrder kOrders[] = {ksim::wmi::CancelOrder::StatusBeforeReturn,
                                          ksim::wmi::CancelOrder::StatusAfterReturn,
                                          ksim::wmi::CancelOrder::StatusHeld};
const char* const kOrderNames[] = {"status-before-return", "status-after-return", "status-held"};
// Controllers draw their driver from here: served and supported, supported only, unsupported.
const wchar_t* const kDrivers[] = {L"velk4", L"velk4", L"qtr", L"other"};

struct Totals {
  uint64_t cycles = 0;
  uint64_t messages = 0;   // raised while every one of them had to be logged
  uint64_t hostTimes = 0;  // requests that had to be answered
  uint64_t churnEvents = 0;
};

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

class Cycle {
 public:
  Cycle(uint64_t seed, bool bVerbose, Totals* pTotals) : m_rng(seed), m_bVerbose(bVerbose), m_pTotals(pTotals) {}

  // Plays the cycle; an empty text when every check held, else what failed.
  std::string Play() {
    Prepare();
    if (m_failure.empty()) Run();
    Finish();
    return m_failure;
  }

  std::string Describe() const { return m_description.str(); }

 private:
  // -- the script --------------------------------------------------------------------------

  void Prepare() {
    ksim::machine::Reset();
    ksim::ResetScm();
    ksim::ClearEventLog();
    ksim::ClearStatusReports();
    ksim::ClearCalls();
    ksim::SetCallRecording(false);

    m_bManual = Chance(0.5);
    ksim::wmi::SetPolling(m_bManual ? ksim::wmi::Polling::Manual : ksim::wmi::Polling::Immediate);
    const unsigned nThreads = 1 + Pick(4);
    ksim::wmi::SetDeliveryThreads(nThreads);
    const size_t order = Pick(3);
    m_order = kOrders[order];
    ksim::wmi::SetCancelOrder(m_order);
    ksim::wmi::SetCancelWaitLimit(kWaitHintMs);
    const Removal& removal = kRemovals[Pick(sizeof(kRemovals) / sizeof(kRemovals[0]))];
    ksim::wmi::SetClassRemoval(removal.behaviour, removal.hr);
    m_description << (m_bManual ? "manual polling" : "immediate polling") << ", " << nThreads
                  << " delivery thread(s), " << kOrderNames[order] << ", class removal " << removal.name;

    const size_t nControllers = Pick(9);
    for (size_t i = 0; i < nControllers; ++i) AddController();
    if (Chance(0.7)) ksim::machine::LoadRaidDriver(kRaidDriver);
    m_description << ", " << nControllers << " controller(s) at start, driver "
                  << (ksim::machine::RaidDriverLoaded() ? "loaded" : "not loaded");

    ConsoleRun install = RunKorvlog({"-i", kServiceName, "-d", kDriverList}, kServiceModulePath);
    Check(install.exitCode == 0, "install failed: " + install.out);
    std::vector<std::string> args;
    if (Chance(0.3)) args.push_back(std::to_string(1 + Pick(300)));  // a start delay (a wait for the stop)
    m_description << (args.empty() ? ", no start delay" : ", start delay " + args[0] + " ms");
    Check(ksim::StartServiceByName(kServiceName, args) == 0, "the service did not start");
    Check(ksim::WaitForServiceState(kServiceName, SERVICE_RUNNING, 20000) &&
              ksim::WaitForServiceIdle(kServiceName, 20000),
          "the service never finished its start");
  }

  void Run() {
    Quiet("after the start");
    const size_t nPhases = 2 + Pick(4);
    for (size_t phase = 0; phase < nPhases && m_failure.empty(); ++phase) {
      const size_t nActions = 1 + Pick(4);
      for (size_t a = 0; a < nActions && m_failure.empty(); ++a) Churn();
      Quiet("after phase " + std::to_string(phase + 1));
    }
    if (m_failure.empty()) StopInAStorm();
  }

  void Finish() {
    // Whatever happened, the next cycle starts from a clean machine.
    if (IsRunning()) {
      ksim::ControlServiceByName(kServiceName, SERVICE_CONTROL_STOP);
      ksim::wmi::ReleaseHeldStatus();
    }
    Check(ksim::WaitForServiceProcesses(20000), "a service process did not end");
    ConsoleRun uninstall = RunKorvlog({"-u", kServiceName}, kServiceModulePath);
    Check(uninstall.exitCode == 0, "uninstall failed: " + uninstall.out);
    ksim::wmi::ReleaseHeldStatus();
    Check(ksim::Settle(20000), "the machine never settled after the stop");
    ksim::machine::Reset();
    Check(ksim::Settle(20000), "the machine never settled after its reset");
    Check(ksim::LiveCount("com_objects") == 0,
          "COM objects left alive: " + std::to_string(ksim::LiveCount("com_objects")));
    Check(ksim::RunningThreads() == 0, "threads left running");
    ksim::SetCallRecording(true);
  }

  // One random change of the machine, or a storm of events while it changes.
  void Churn() {
    ++m_pTotals->churnEvents;
    switch (Pick(9)) {
      case 0:
      case 1:
        if (m_controllers.size() < 8) AddController();
        break;
      case 2:
      case 3:
        RemoveController();
        break;
      case 4:
        if (ksim::machine::RaidDriverLoaded())
          Unload();
        else
          Load();
        break;
      case 5:
        Reload();
        break;
      case 6:
        Note("storm");
        Storm(10ms + std::chrono::milliseconds(Pick(30)));
        break;
      case 7:
        Note("batch");
        Batched();
        break;
      default:
        Poll();
        break;
    }
    if (m_bManual && Chance(0.3)) Poll();
    if (Chance(0.3)) std::this_thread::sleep_for(std::chrono::milliseconds(Pick(5)));
  }

  // The driver unloads and loads again, at once or after a moment.
  void Reload() {
    Note("reload");
    if (!ksim::machine::RaidDriverLoaded()) Load();
    Unload();
    if (Chance(0.5)) std::this_thread::sleep_for(std::chrono::milliseconds(Pick(3)));
    Load();
  }

  void Unload() {
    Note("unload");
    ksim::machine::UnloadRaidDriver();
    m_bPolledSinceUnload = false;
  }

  // With polling, WMI polls at least once while the driver is away: a reload undone between two
  // polls produces no event at all (nor does WMI say anything to a subscription it ends
  // silently), and no consumer of these events can see it.
  void Load() {
    if (m_bManual && !m_bPolledSinceUnload) Poll();
    Note("load");
    ksim::machine::LoadRaidDriver(kRaidDriver);
  }

  void AddController() {
    std::wstring path = PathOf(m_nextPath++);
    std::wstring driver = kDrivers[Pick(sizeof(kDrivers) / sizeof(kDrivers[0]))];
    ksim::machine::AddScsiController(path, driver);
    m_controllers[path] = driver;
    Note("add " + std::to_string(m_nextPath - 1) + " " + Narrow(driver));
  }

  void RemoveController() {
    if (m_controllers.empty()) return;
    auto it = m_controllers.begin();
    std::advance(it, static_cast<long>(Pick(m_controllers.size())));
    Note("remove " + Narrow(it->first.substr(it->first.size() - 15)));
    ksim::machine::RemoveScsiController(it->first);
    m_controllers.erase(it);
  }

  // Messages and host-time requests from every controller, each on a thread of its own, for a
  // while. Nothing is checked but that nothing breaks: while the machine changes, events may
  // rightly be lost.
  void Storm(std::chrono::milliseconds length) {
    std::atomic<bool> bStop{false};
    std::vector<std::thread> threads;
    for (const auto& [path, driver] : m_controllers)
      threads.emplace_back([&, path = path] {
        for (int k = 0; !bStop; ++k) {
          ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(path, 20 + 10 * (k % 3), k, "storm"));
          ksim::machine::RaiseHostTimeRequest(path);
          Pace();
        }
      });
    std::this_thread::sleep_for(length);
    bStop = true;
    for (std::thread& t : threads) t.join();
  }

  // A busy controller, not a flood that WMI's queue could never drain: the controllers wait
  // while WMI is far behind, as a real one would be throttled by its driver.
  static void Pace() {
    std::this_thread::sleep_for(200us);
    while (ksim::wmi::QueuedDeliveries() > 200) std::this_thread::sleep_for(200us);
  }

  // Events that WMI hands over in batches: one message and two host-time requests of each
  // controller in one Indicate per subscription.
  void Batched() {
    ksim::wmi::ScopedBatch batch;
    for (const auto& [path, driver] : m_controllers) {
      ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(path, 30, 1, "batched"));
      ksim::machine::RaiseHostTimeRequest(path);
      ksim::machine::RaiseHostTimeRequest(path);
    }
  }

  // -- the checks ----------------------------------------------------------------------------

  // Lets everything settle (WMI polls twice where it polls by hand: a handler may register a
  // query whose events the next poll finds), then checks the registrations and that events are
  // served exactly once.
  void Quiet(const std::string& when) {
    if (!m_failure.empty()) return;
    Note("quiet");
    for (int round = 0; round < (m_bManual ? 3 : 1); ++round) {
      if (m_bManual) ksim::wmi::PollNow();
      m_bPolledSinceUnload = true;
      if (!Check(ksim::Settle(20000), when + ": the machine never settled")) return;
    }
    Check(ksim::WaitForServiceIdle(kServiceName, 20000), when + ": the service is not waiting for its stop");

    std::map<std::wstring, size_t> live;
    for (const ksim::wmi::Subscription& s : ksim::wmi::Subscriptions())
      if (!s.silentlyEnded) ++live[s.query];
    for (const auto& [query, n] : live) Check(n == 1, when + ": " + std::to_string(n) + " live registrations of " + Narrow(query));

    const bool bDriver = ksim::machine::RaidDriverLoaded();
    bool bSupported = false;
    std::vector<std::wstring> served;
    for (const auto& [path, driver] : m_controllers) {
      bSupported |= driver == L"velk4" || driver == L"qtr";
      if (bDriver && driver == kRaidDriver) served.push_back(path);
    }
    if (!bDriver || !bSupported) return;
    Check(live[kQueryMessages] == 1, when + ": the message query is not registered");
    Check(live[kQueryHostTime] == 1, when + ": the host-time query is not registered");
    if (m_failure.empty()) ServeExactlyOnce(when, served);
  }

  // Every served controller sends messages and host-time requests from a thread of its own. The
  // driver keeps one message per controller, so each controller's next message waits until its
  // last one was written.
  void ServeExactlyOnce(const std::string& when, const std::vector<std::wstring>& served) {
    const size_t kPerController = 3 + Pick(8);
    const size_t calls = ksim::machine::SetAdapterTimeCalls().size();
    const size_t records = ksim::EventLogRecords().size();
    std::mutex lock;
    std::vector<std::string> missing;
    std::vector<std::thread> threads;
    for (size_t c = 0; c < served.size(); ++c)
      threads.emplace_back([&, c] {
        for (size_t k = 0; k < kPerController; ++k) {
          const std::string text = "quiet " + std::to_string(m_nQuiet) + " controller " + std::to_string(c) +
                                   " message " + std::to_string(k);
          ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(served[c], 20, 5, text));
          ksim::machine::RaiseHostTimeRequest(served[c]);
          if (!WaitForRecord("\\Device\\Scsi\\velk45: " + text)) {
            std::lock_guard<std::mutex> guard(lock);
            missing.push_back(text);
            return;
          }
        }
      });
    for (std::thread& t : threads) t.join();
    ++m_nQuiet;
    if (!Check(missing.empty(), when + ": never logged: " + (missing.empty() ? "" : missing[0]))) return;
    if (!Check(ksim::Settle(20000), when + ": the machine never settled after the messages")) return;

    std::map<std::string, size_t> seen;
    const std::vector<ksim::EventRecord> all = ksim::EventLogRecords();
    for (size_t i = records; i < all.size(); ++i)
      if (all[i].source == "velk4" && all[i].strings.size() == 1) ++seen[all[i].strings[0]];
    for (const auto& [text, n] : seen)
      Check(n == 1, when + ": logged " + std::to_string(n) + " times: " + text);
    Check(seen.size() == served.size() * kPerController,
          when + ": " + std::to_string(seen.size()) + " messages logged of " +
              std::to_string(served.size() * kPerController));
    const size_t answered = ksim::machine::SetAdapterTimeCalls().size() - calls;
    Check(answered == served.size() * kPerController,
          when + ": " + std::to_string(answered) + " host-time requests answered of " +
              std::to_string(served.size() * kPerController));
    m_pTotals->messages += served.size() * kPerController;
    m_pTotals->hostTimes += served.size() * kPerController;
  }

  static bool WaitForRecord(const std::string& text) {
    const auto deadline = Clock::now() + 10s;
    size_t from = 0;
    while (Clock::now() < deadline) {
      const std::vector<ksim::EventRecord> all = ksim::EventLogRecords();
      for (size_t i = from; i < all.size(); ++i)
        if (all[i].strings.size() == 1 && all[i].strings[0] == text) return true;
      from = all.size();
      std::this_thread::sleep_for(200us);
    }
    return false;
  }

  // Stops the service while every controller sends events; the stop must end within the wait
  // hint, report stopped last, and leave no registration behind.
  void StopInAStorm() {
    std::atomic<bool> bStop{false};
    std::vector<std::thread> threads;
    for (const auto& [path, driver] : m_controllers)
      threads.emplace_back([&, path = path] {
        for (int k = 0; !bStop; ++k) {
          ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(path, 20, k, "stop storm"));
          ksim::machine::RaiseHostTimeRequest(path);
          Pace();
        }
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + Pick(30)));
    std::thread releaser;
    if (m_order == ksim::wmi::CancelOrder::StatusHeld)
      releaser = std::thread([] {
        ksim::WaitForServiceState(kServiceName, SERVICE_STOPPED, 20000);
        ksim::wmi::ReleaseHeldStatus();
      });
    const auto begin = Clock::now();
    const DWORD dwError = ksim::ControlServiceByName(kServiceName, SERVICE_CONTROL_STOP);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    bStop = true;
    for (std::thread& t : threads) t.join();
    if (releaser.joinable()) releaser.join();
    Check(dwError == 0, "the stop control failed with " + std::to_string(dwError));
    Check(took.count() < kWaitHintMs, "the stop took " + std::to_string(took.count()) + " ms");
    Check(ksim::WaitForServiceProcesses(20000), "the service process did not end after its stop");
    std::vector<ksim::StatusReport> reports = ksim::StatusReports(kServiceName);
    Check(!reports.empty() && reports.back().status.dwCurrentState == SERVICE_STOPPED, "stopped is not the last report");
    Check(ksim::wmi::Subscriptions().empty(), "a query is still registered after the stop");
    Check(ksim::CutThreads(kServiceName) == 0, "a thread of the service was still running when its process ended");
  }

  void Poll() {
    if (!m_bManual) return;
    Note("poll");
    ksim::wmi::PollNow();
    m_bPolledSinceUnload = true;
  }

  // The action script, for the report of a failed cycle.
  void Note(const std::string& action) { m_actions += (m_actions.empty() ? "" : "; ") + action; }

 public:
  const std::string& Actions() const { return m_actions; }

 private:
  bool IsRunning() {
    auto info = ksim::FindService(kServiceName);
    return info && info->status.dwCurrentState != SERVICE_STOPPED;
  }

  bool Check(bool bOk, const std::string& what) {
    if (!bOk && m_failure.empty()) m_failure = what;
    if (!bOk && m_bVerbose) std::fprintf(stderr, "  check failed: %s\n", what.c_str());
    return bOk;
  }

  size_t Pick(size_t n) { return static_cast<size_t>(m_rng() % n); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(m_rng) < p; }

  static std::wstring PathOf(size_t i) {
    wchar_t buf[96];
    std::swprintf(buf, 96, L"PCI\\VEN_ABCD&DEV_%04zX&SUBSYS_00000000&REV_01\\4&%08zx&0&00e0", i, 0x1a2b3c00 + i);
    return buf;
  }

  std::mt19937_64 m_rng;
  bool m_bVerbose;
  Totals* m_pTotals;
  std::ostringstream m_description;
  std::string m_failure;
  bool m_bManual = false;
  ksim::wmi::CancelOrder m_order = ksim::wmi::CancelOrder::StatusBeforeReturn;
  std::map<std::wstring, std::wstring> m_controllers;  // path -> driver
  size_t m_nextPath = 0;
  size_t m_nQuiet = 0;
  std::string m_actions;
  bool m_bPolledSinceUnload = true;
};

int Usage() {
  std::fprintf(stderr, "usage: korvlog_soak [--seconds N | --minutes N] [--seed S] [--cycles N] [--verbose]\n");
  return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
  double seconds = 60;
  uint64_t seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  uint64_t maxCycles = 0;
  bool bVerbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool bValue = i + 1 < argc;
    if (a == "--seconds" && bValue)
      seconds = std::atof(argv[++i]);
    else if (a == "--minutes" && bValue)
      seconds = 60 * std::atof(argv[++i]);
    else if (a == "--seed" && bValue)
      seed = std::strtoull(argv[++i], nullptr, 0);
    else if (a == "--cycles" && bValue)
      maxCycles = std::strtoull(argv[++i], nullptr, 0);
    else if (a == "--verbose")
      bVerbose = true;
    else
      return Usage();
  }

  ksim::SetModulePath(kServiceModulePath);
  ksim::SetProcessEntry(KorvlogMain);
  ksim::SetVirtualSleep(true);
  ksim::SetModuleMessageTable(
      kServiceModulePath,
      std::vector<BYTE>(std::begin(c_rgbMessageTableResource), std::end(c_rgbMessageTableResource)));

  std::printf("korvlog soak: seed %llu, %s\n", static_cast<unsigned long long>(seed),
              maxCycles ? (std::to_string(maxCycles) + " cycle(s)").c_str()
                        : (std::to_string(static_cast<long>(seconds)) + " s").c_str());
  std::fflush(stdout);
  std::mt19937_64 seeds(seed);
  Totals totals;
  const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (maxCycles ? totals.cycles < maxCycles : Clock::now() < deadline) {
    // The first cycle plays the given seed itself, so that a printed seed replays its cycle.
    const uint64_t cycleSeed = totals.cycles == 0 ? seed : seeds();
    Cycle cycle(cycleSeed, bVerbose, &totals);
    const std::string failure = cycle.Play();
    ++totals.cycles;
    if (bVerbose) std::printf("cycle %llu (seed %llu): %s\n", static_cast<unsigned long long>(totals.cycles),
                              static_cast<unsigned long long>(cycleSeed), cycle.Describe().c_str());
    if (!failure.empty()) {
      std::printf("FAILED cycle %llu, seed %llu: %s\n  actions: %s\n  %s\n  replay: korvlog_soak --seed %llu --cycles 1\n",
                  static_cast<unsigned long long>(totals.cycles), static_cast<unsigned long long>(cycleSeed),
                  cycle.Describe().c_str(), cycle.Actions().c_str(), failure.c_str(),
                  static_cast<unsigned long long>(cycleSeed));
      return 1;
    }
  }
  std::printf("korvlog soak: %llu cycles passed; %llu messages logged and %llu host-time requests answered "
              "exactly once; %llu churn actions\n",
              static_cast<unsigned long long>(totals.cycles), static_cast<unsigned long long>(totals.messages),
              static_cast<unsigned long long>(totals.hostTimes), static_cast<unsigned long long>(totals.churnEvents));
  return 0;
}
