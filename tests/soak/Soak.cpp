// The churn soak: korvlog installed, started, and played randomized cycles of controllers and the
// RAID driver coming and going, under every order and final status WMI may choose, with storms of
// messages and host-time requests, while the platform fails in the ordinary ways (WMI restarts,
// an event log that refuses writes, a provider busy for a moment, an enumeration that times out,
// a registration refused or ended at once), and stopped in the middle of one: by the stop
// control, through a WMI call that hangs, or by a system shutdown. After every quiet phase it
// checks what users rely on:
//   - while the driver is loaded and a supported controller is present, the message and
//     host-time queries each have exactly one live registration (and never two at any time); the
//     creation queries of the driver's classes and of the controllers always have one;
//   - nothing is lost in silence: every message raised and every host-time request is logged or
//     answered exactly once, or counted in a loss record; one raised while WMI was up and the
//     event log took writes is logged exactly once, and each controller's come in order;
//   - every loss of WMI is said once and its end once; the records the event log refused are
//     written once it takes them again;
//   - the stop ends within the wait hint (through a hang, within 15 s), leaves nothing
//     registered and nothing alive; at a shutdown the messages in hand reach the log.
//
//   korvlog_soak [--seconds N | --minutes N] [--seed S] [--cycles N] [--verbose]
//
// Every cycle plays an action script drawn from its own seed, the platform's failures included.
// A failure prints that seed; run `korvlog_soak --seed <seed> --cycles 1` to play the same script
// again.
#include "support/Gate.h"
#include "support/ServiceHost.h"

#include "diagnostics/EventLog.h"  // the backlog's size, and the identifiers of the records
#include "sink/Dispatcher.h"       // the events in hand

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
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
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

using ktest::kQueryControllerAdded;
using ktest::kQueryControllerRemoved;
using ktest::kQueryHostTime;
using ktest::kQueryMessages;
using ktest::kQueryPrintfCreated;
using ktest::kQuerySetHostTimeCreated;
using ktest::kServiceModulePath;
using ktest::kServiceName;

const char kDriverList[] = "velk4,qtr";
const wchar_t kRaidDriver[] = L"velk4";  // the loaded driver serves the velk4 controllers

const DWORD kWaitHintMs = 6000;
// A stop through a WMI call that hangs reports stopped within this.
const DWORD kHungStopMs = 15000;

// Generous bounds of the waits for what the service does on its own time: a reconnection and a
// refused query come back within seconds (back-off from 1 s), the backlog is written within a
// minute at the latest (back-off up to 60 s).
const auto kRecoveryBound = 30s;
const auto kBacklogBound = 75s;
const auto kServeBound = 10s;

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

struct NamedResult {
  HRESULT hr;
  const char* name;
};
// What calls on the objects of a restarted WMI return.
const NamedResult kDeadResults[] = {{static_cast<HRESULT>(RPC_E_DISCONNECTED), "RPC_E_DISCONNECTED"},
                                    {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), "RPC_S_SERVER_UNAVAILABLE"}};
// What a provider busy for a moment answers.
const NamedResult kBusyResults[] = {{static_cast<HRESULT>(WBEM_E_PROVIDER_FAILURE), "WBEM_E_PROVIDER_FAILURE"},
                                    {static_cast<HRESULT>(WBEM_E_FAILED), "WBEM_E_FAILED"}};
// How a registration ends that WMI accepts and ends at once; the second looks like WMI going away.
const NamedResult kEndResults[] = {{static_cast<HRESULT>(WBEM_E_FAILED), "WBEM_E_FAILED"},
                                   {static_cast<HRESULT>(WBEM_E_SHUTTING_DOWN), "WBEM_E_SHUTTING_DOWN"}};

// Every query the service registers, by the selector the simulated WMI gives its registration.
const char* const kQuerySelectors[] = {
    "Talvenix_AdapterPrintfNotification",           "__ClassCreationEvent:Talvenix_AdapterPrintf",
    "__ClassDeletionEvent:Talvenix_AdapterPrintf",  "__InstanceCreationEvent:Talvenix_AdapterPrintf",
    "__InstanceDeletionEvent:Talvenix_AdapterPrintf", "Talvenix_HostTimeRequest",
    "__ClassCreationEvent:Talvenix_SetHostTime",    "__ClassDeletionEvent:Talvenix_SetHostTime",
    "__InstanceCreationEvent:Talvenix_SetHostTime", "__InstanceDeletionEvent:Talvenix_SetHostTime",
    "__InstanceCreationEvent:Win32_SCSIController", "__InstanceDeletionEvent:Win32_SCSIController",
};

// The platform's failures, counted for the summary.
enum FaultKind { fkRestart, fkLogRefusal, fkGetObject, fkEnumeration, fkRegistration, fkStopHang, fkShutdown, fkCount };
const char* const kFaultNames[fkCount] = {"WMI restarts",          "log refusals",          "GetObject failures",
                                          "enumeration time-outs", "refused registrations", "stop hangs",
                                          "shutdowns"};

struct Totals {
  uint64_t cycles = 0;
  uint64_t messages = 0;   // raised while every one of them had to be served or counted as lost
  uint64_t hostTimes = 0;  // requests that had to be answered or counted as lost
  uint64_t churnEvents = 0;
  std::array<uint64_t, fkCount> faults{};
};

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The object path by which the service reads a controller's instance of a driver class.
std::wstring InstancePath(const wchar_t* pwszClass, const std::wstring& controller) {
  std::wstring escaped;
  for (wchar_t ch : ksim::machine::InstanceNameOf(controller)) {
    if (ch == L'\\' || ch == L'"') escaped += L'\\';
    escaped += ch;
  }
  return std::wstring(pwszClass) + L".InstanceName=\"" + escaped + L"\"";
}

// The instances WMI handed out whole, by path: how a controller knows that the driver may store
// its next message.
class Reads {
 public:
  static Reads& Get() {
    static Reads* s_pReads = new Reads;  // WMI's threads may still read after main returns
    return *s_pReads;
  }
  void Install() {
    ksim::wmi::SetGetObjectObserver([this](const wchar_t* pwszPath, HRESULT hr) {
      if (FAILED(hr)) return;
      std::lock_guard<std::mutex> guard(m_lock);
      ++m_reads[pwszPath];
    });
  }
  size_t Of(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_reads.find(path);
    return it == m_reads.end() ? 0 : it->second;
  }

 private:
  std::mutex m_lock;
  std::map<std::wstring, size_t> m_reads;
};

// What the Application log says from one record on.
class LogView {
 public:
  explicit LogView(size_t from) : m_records(ksim::EventLogRecords()) {
    m_records.erase(m_records.begin(), m_records.begin() + static_cast<long>(std::min(from, m_records.size())));
  }

  size_t CountIds(DWORD dwEventId) const {
    return static_cast<size_t>(std::count_if(m_records.begin(), m_records.end(),
                                             [&](const ksim::EventRecord& r) { return r.eventId == dwEventId; }));
  }

  // The positions of the records whose one string is exactly text.
  std::vector<size_t> Find(const std::string& text) const {
    std::vector<size_t> at;
    for (size_t i = 0; i < m_records.size(); ++i)
      if (m_records[i].strings.size() == 1 && m_records[i].strings[0] == text) at.push_back(i);
    return at;
  }

  // Loss records of one controller's events: "A firmware message of ..." or "A host-time request
  // of ...", naming the controller's instance.
  size_t CountEventLost(const char* pszWhat, const std::wstring& controller) const {
    const std::string name = "\r\nInstanceName: " + Narrow(ksim::machine::InstanceNameOf(controller)) + "\r\n";
    size_t n = 0;
    for (const ksim::EventRecord& r : m_records)
      n += r.eventId == c_dwMsgEventLost && r.strings.size() == 1 && r.strings[0].rfind(pszWhat, 0) == 0 &&
           r.strings[0].find(name) != std::string::npos;
    return n;
  }

  // What the warnings of refused records count as lost: controller messages and host-time records.
  std::pair<long, long> RefusedAndLost() const {
    std::pair<long, long> lost{0, 0};
    for (const ksim::EventRecord& r : m_records) {
      if (r.eventId != c_dwMsgRecordsLost || r.strings.size() != 1) continue;
      const size_t at = r.strings[0].find("). ");
      long x = 0, y = 0;
      if (at != std::string::npos &&
          std::sscanf(r.strings[0].c_str() + at + 3, "%ld controller message(s) and %ld host-time record(s)", &x, &y) == 2) {
        lost.first += x;
        lost.second += y;
      }
    }
    return lost;
  }

  size_t CountHostTimeRecords() const {
    return static_cast<size_t>(std::count_if(m_records.begin(), m_records.end(), [](const ksim::EventRecord& r) {
      return r.source == kServiceName && r.strings.size() == 1 && r.strings[0].rfind("Sent host time of ", 0) == 0;
    }));
  }

 private:
  std::vector<ksim::EventRecord> m_records;
};

size_t LogSize() { return ksim::EventLogRecords().size(); }

// Host-time requests of one controller that reached the driver's method.
size_t AnsweredOf(const std::wstring& controller) {
  const std::wstring name = ksim::machine::InstanceNameOf(controller);
  size_t n = 0;
  for (const ksim::machine::SetAdapterTimeCall& c : ksim::machine::SetAdapterTimeCalls()) n += c.instanceName == name;
  return n;
}

// Waits until done, looking again and again less often (every look may copy the whole log).
bool WaitFor(const std::function<bool()>& done, Clock::duration bound) {
  const auto deadline = Clock::now() + bound;
  auto pause = std::chrono::microseconds(200);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, 5ms);
  }
  return true;
}

// The platform failure a set of served events plays through (Cycle::Serve).
enum class Drill { None, LogRefusal, GetObject, Restart };

// One tracked event: a message and a host-time request of one controller, and what became of it.
struct Tracked {
  size_t controller;
  std::string text;  // the message's text
  bool bStrict;      // raised while WMI was up and the log took writes: logged exactly once
  bool bWmisLoss;    // raised around a restart of WMI: WMI may have dropped it
};

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
    Reads::Get().Install();
    // Threads cut through a hung stop of an earlier cycle stay parked with what they held: this
    // cycle is judged by what it adds.
    m_nCutBefore = ksim::CutThreads(kServiceName);
    m_llComBefore = ksim::LiveCount("com_objects");

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
    // The start itself may meet a refused registration or a late enumeration.
    if (Chance(0.2)) RefuseRegistration();
    if (Chance(0.15)) DelayEnumeration();
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
      // At most one failure of the platform a phase, at a random moment of it.
      const size_t failAt = Chance(0.6) ? Pick(nActions) : nActions;
      for (size_t a = 0; a < nActions && m_failure.empty(); ++a) {
        if (a == failAt) PlatformFails();
        Churn();
        if (m_bLogRefusing && m_nRefusalActions-- == 0) EndLogRefusal();
      }
      Quiet("after phase " + std::to_string(phase + 1));
    }
    if (!m_failure.empty()) return;
    const double stop = std::uniform_real_distribution<double>(0, 1)(m_rng);
    if (stop < 0.2)
      ShutdownWithMessagesInHand();
    else
      StopInAStorm(stop < 0.4);
  }

  void Finish() {
    // Whatever happened, the next cycle starts from a clean machine.
    m_faults.clear();
    if (ksim::GetEventLogRefusal() != ksim::EventLogRefusal::None) ksim::SetEventLogRefusal(ksim::EventLogRefusal::None);
    if (ksim::wmi::InOutage()) ksim::wmi::EndOutage();
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
    // A thread cut at the end of the process (through a hang at the stop) keeps what it held; on
    // Windows the end of the process frees it.
    const bool bCut = m_bCutAtTheStop;
    Check(bCut || ksim::LiveCount("com_objects") == m_llComBefore,
          "COM objects left alive: " + std::to_string(ksim::LiveCount("com_objects") - m_llComBefore) + " (of all: " +
              std::to_string(ksim::LiveCount("IWbemServices")) + " services, " +
              std::to_string(ksim::LiveCount("IWbemLocator")) + " locators, " +
              std::to_string(ksim::LiveCount("IWbemClassObject")) + " objects, " +
              std::to_string(ksim::LiveCount("IEnumWbemClassObject")) + " enumerators)");
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
          Pace(bStop);
        }
      });
    std::this_thread::sleep_for(length);
    bStop = true;
    for (std::thread& t : threads) t.join();
  }

  // A busy controller, not a flood that WMI's queue could never drain: the controllers wait
  // while WMI is far behind, as a real one would be throttled by its driver, until the storm
  // ends (WMI's threads may hang in a call of the stop).
  static void Pace(const std::atomic<bool>& bStop) {
    std::this_thread::sleep_for(200us);
    while (!bStop && ksim::wmi::QueuedDeliveries() > 200) std::this_thread::sleep_for(200us);
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

  // -- the platform's failures ---------------------------------------------------------------
  //
  // Each begins at a moment of a phase and lasts until the phase's quiet at the latest, which
  // waits (bounded) for the service to come back from it before it checks anything.

  void PlatformFails() {
    switch (Pick(6)) {
      case 0:
        RestartWmi();
        break;
      case 1:
        BeginLogRefusal(Pick(3));
        break;
      case 2:
        FailGetObject();
        break;
      case 3:
        DelayEnumeration();
        break;
      case 4:
        RefuseRegistration();
        // Something that registers queries anew, so that the refusal meets a registration.
        if (Chance(0.5)) {
          Reload();
        } else if (Chance(0.5)) {
          RestartWmi();
        }
        break;
      default:
        // A restart whose reconnection meets a refused registration.
        RefuseRegistration();
        RestartWmi();
        break;
    }
  }

  // WMI restarts: crashing or in order, with the one or the other RPC error for the calls of
  // the old connection, with no outage, one that ends by itself, or one that lasts until ended.
  void RestartWmi() {
    ksim::wmi::RestartOptions options;
    options.kind = Chance(0.5) ? ksim::wmi::RestartKind::Crash : ksim::wmi::RestartKind::Orderly;
    const NamedResult& dead = kDeadResults[Pick(2)];
    options.hrDead = dead.hr;
    std::string outage = "no outage";
    switch (Pick(3)) {
      case 0:
        break;
      case 1:
        options.outageMilliseconds = static_cast<DWORD>(50 + Pick(1500));
        outage = "outage " + std::to_string(options.outageMilliseconds) + " ms";
        break;
      default:
        options.outageMilliseconds = INFINITE;
        m_outageEndsAfterMs = static_cast<DWORD>(Pick(1500));
        outage = "outage until ended after " + std::to_string(m_outageEndsAfterMs) + " ms";
        break;
    }
    if (options.outageMilliseconds != 0 && Chance(0.3)) {
      options.locatorFails = true;
      outage += " without a locator";
    }
    Note(std::string("WMI restarts (") + (options.kind == ksim::wmi::RestartKind::Crash ? "crash" : "orderly") + ", " +
         dead.name + ", " + outage + ")");
    if (!m_bRestarted) m_restartMark = LogSize();
    m_bRestarted = true;
    m_bOutageOpen = options.outageMilliseconds == INFINITE;
    ++m_pTotals->faults[fkRestart];
    ksim::wmi::Restart(options);
  }

  void EndOutage() {
    if (!m_bOutageOpen) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(m_outageEndsAfterMs));
    Note("WMI is back");
    ksim::wmi::EndOutage();
    m_bOutageOpen = false;
  }

  // The event log refuses writes, full or with its service stopped, for a short while: until
  // `actions` more churn actions are played and a moment more.
  void BeginLogRefusal(size_t actions) {
    const bool bFull = Chance(0.5);
    m_refusalExtraMs = static_cast<DWORD>(Pick(800));
    Note(std::string("event log ") + (bFull ? "full" : "stopped") + " for " + std::to_string(actions) +
         " action(s) and " + std::to_string(m_refusalExtraMs) + " ms");
    ksim::SetEventLogRefusal(bFull ? ksim::EventLogRefusal::Full : ksim::EventLogRefusal::Stopped);
    m_bLogRefusing = true;
    m_nRefusalActions = actions;
    ++m_pTotals->faults[fkLogRefusal];
  }

  void EndLogRefusal() {
    if (!m_bLogRefusing) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(m_refusalExtraMs));
    Note("event log takes writes");
    ksim::SetEventLogRefusal(ksim::EventLogRefusal::None);
    m_bLogRefusing = false;
    m_bBacklogToFlush = true;
  }

  // A fault that lasts until the quiet; counted when it changed a call.
  void AddFault(FaultKind kind, const ksim::Fault& fault) {
    m_faults.push_back({kind, std::make_unique<ksim::ScopedFault>(fault)});
  }

  void DropFaults() {
    std::set<FaultKind> hit;
    for (const auto& [kind, fault] : m_faults)
      if (fault->Hits() > 0) hit.insert(kind);
    for (FaultKind kind : hit) ++m_pTotals->faults[kind];
    m_faults.clear();
  }

  // A provider busy for a moment: one or two GetObject calls fail, of any path, of the class
  // definition the host-time answer reads, or of a controller's message or host-time instance.
  void FailGetObject(const std::vector<std::wstring>& controllers) {
    std::string selector;
    switch (Pick(4)) {
      case 0:
        break;
      case 1:
        selector = "Talvenix_SetHostTime";
        break;
      default:
        if (!controllers.empty()) {
          const std::wstring& c = controllers[Pick(controllers.size())];
          selector = Narrow(InstancePath(Chance(0.5) ? ksim::machine::kAdapterPrintf : ksim::machine::kSetHostTime, c));
        }
        break;
    }
    const unsigned first = static_cast<unsigned>(1 + Pick(3));
    const unsigned count = static_cast<unsigned>(1 + Pick(2));
    const NamedResult& busy = kBusyResults[Pick(2)];
    Note("GetObject of " + (selector.empty() ? std::string("any path") : selector) + " fails with " + busy.name +
         " at call " + std::to_string(first) + (count > 1 ? " and the next" : ""));
    for (unsigned n = first; n < first + count; ++n)
      AddFault(fkGetObject, ktest::Fault("IWbemServices::GetObject").On(selector).Nth(n).Returns(busy.hr));
  }

  void FailGetObject() {
    std::vector<std::wstring> controllers;
    for (const auto& [path, driver] : m_controllers) controllers.push_back(path);
    FailGetObject(controllers);
  }

  // The enumeration of the controllers times out: late once or a few times (waited for), or
  // never finished while the fault lasts (the table is built again later).
  void DelayEnumeration() {
    if (Chance(0.6)) {
      const unsigned first = static_cast<unsigned>(1 + Pick(3));
      const unsigned count = static_cast<unsigned>(1 + Pick(3));
      Note("enumeration times out at Next " + std::to_string(first) + " and " + std::to_string(count - 1) +
           " more");
      for (unsigned n = first; n < first + count; ++n)
        AddFault(fkEnumeration, ktest::Fault("IEnumWbemClassObject::Next")
                                    .On("Win32_SCSIController")
                                    .Nth(n)
                                    .Returns(WBEM_S_TIMEDOUT)
                                    .Variant(ksim::wmi::kNextTimedOut));
    } else {
      Note("enumeration never finishes until the quiet");
      AddFault(fkEnumeration, ktest::Fault("IEnumWbemClassObject::Next")
                                  .On("Win32_SCSIController")
                                  .Returns(WBEM_S_TIMEDOUT)
                                  .Variant(ksim::wmi::kNextTimedOut));
    }
  }

  // WMI refuses the registration of one query once or twice, or accepts it and ends it at once.
  void RefuseRegistration() {
    const char* selector = kQuerySelectors[Pick(sizeof(kQuerySelectors) / sizeof(kQuerySelectors[0]))];
    const unsigned count = static_cast<unsigned>(1 + Pick(2));
    ktest::Fault fault("IWbemServices::ExecNotificationQueryAsync");
    fault.On(selector);
    std::string how;
    if (Chance(0.5)) {
      const NamedResult& busy = kBusyResults[Pick(2)];
      fault.Returns(busy.hr);
      how = std::string("refused with ") + busy.name;
    } else {
      const bool bBeforeReturn = Chance(0.5);
      const NamedResult& end = kEndResults[Pick(2)];
      fault.Returns(end.hr).Variant(bBeforeReturn ? ksim::wmi::kAcceptThenFailBeforeReturn : ksim::wmi::kAcceptThenFail);
      how = std::string("accepted and ended with ") + end.name + (bBeforeReturn ? " before it returns" : "");
    }
    Note(std::string("registration of ") + selector + " " + how + (count > 1 ? ", twice" : ""));
    for (unsigned n = 1; n <= count; ++n) AddFault(fkRegistration, fault.Nth(n));
  }

  // The failures of a phase end; the service comes back from each on its own time.
  void EndFailures() {
    EndLogRefusal();
    EndOutage();
    DropFaults();
  }

  // Waits, bounded, until the service has come back from what the platform did: every loss of
  // WMI said once and its end once, and the records the event log refused written.
  void Recover(const std::string& when) {
    if (m_bRestarted) {
      const size_t mark = m_restartMark;
      auto said = [mark] {
        const LogView log(mark);
        const size_t lost = log.CountIds(c_dwMsgWmiLost);
        return lost >= 1 && log.CountIds(c_dwMsgWmiRestored) == lost;
      };
      WaitFor(said, kRecoveryBound);
      if (!Check(ksim::Settle(20000), when + ": the machine never settled after WMI came back")) return;
      const LogView log(mark);
      const size_t lost = log.CountIds(c_dwMsgWmiLost);
      if (!Check(lost >= 1, when + ": the loss of WMI was never said")) return;
      if (!Check(log.CountIds(c_dwMsgWmiRestored) == lost,
                 when + ": " + std::to_string(lost) + " loss(es) of WMI said, " +
                     std::to_string(log.CountIds(c_dwMsgWmiRestored)) + " reconnection(s)"))
        return;
      m_bRestarted = false;
    }
    if (m_bBacklogToFlush) {
      Check(WaitFor([] { return CEventLog::BacklogSize() == 0; }, kBacklogBound),
            when + ": the refused records were never written");
      m_bBacklogToFlush = false;
    }
  }

  // -- the checks ----------------------------------------------------------------------------

  // Settles, and waits until the service has handled every event in hand: an event of a device
  // the table does not know may wait for the next rebuild of the table, a timer that settling
  // does not wait for.
  static bool SettleWithEvents() {
    return ksim::Settle(20000) && WaitFor([] { return CDispatcher::EventsInHand() == 0; }, kRecoveryBound) &&
           ksim::Settle(20000);
  }

  // Lets everything settle (WMI polls twice where it polls by hand: a handler may register a
  // query whose events the next poll finds), lets the service come back from the platform's
  // failures, then checks the registrations and that events are served exactly once.
  void Quiet(const std::string& when) {
    if (!m_failure.empty()) return;
    Note("quiet");
    EndFailures();
    for (int round = 0; round < (m_bManual ? 3 : 1); ++round) {
      if (m_bManual) ksim::wmi::PollNow();
      m_bPolledSinceUnload = true;
      if (!Check(SettleWithEvents(), when + ": the machine never settled")) return;
    }
    Recover(when);
    if (!m_failure.empty()) return;
    Check(ksim::WaitForServiceIdle(kServiceName, 20000), when + ": the service is not waiting for its stop");

    const bool bDriver = ksim::machine::RaidDriverLoaded();
    bool bSupported = false;
    std::vector<std::wstring> served;
    for (const auto& [path, driver] : m_controllers) {
      bSupported |= driver == L"velk4" || driver == L"qtr";
      if (bDriver && driver == kRaidDriver) served.push_back(path);
    }
    // The queries that must stand now: the way back is always open, and while the driver and a
    // supported controller are present their events are received. A refused query, a rebuilt
    // table or a reconnection may still be on its way: waited for.
    std::vector<std::wstring> expected = {kQueryPrintfCreated, kQuerySetHostTimeCreated, kQueryControllerAdded,
                                          kQueryControllerRemoved};
    if (bDriver && bSupported) {
      expected.push_back(kQueryMessages);
      expected.push_back(kQueryHostTime);
    }
    auto standing = [&] {
      std::map<std::wstring, size_t> live = Live();
      for (const auto& [query, n] : live)
        if (n > 1) return false;
      for (const std::wstring& query : expected)
        if (live[query] != 1) return false;
      return true;
    };
    if (!standing()) {
      WaitFor(standing, kRecoveryBound);
      if (!Check(ksim::Settle(20000), when + ": the machine never settled")) return;
    }
    std::map<std::wstring, size_t> live = Live();
    for (const auto& [query, n] : live)
      Check(n <= 1, when + ": " + std::to_string(n) + " live registrations of " + Narrow(query));
    for (const std::wstring& query : expected)
      Check(live[query] == 1, when + ": not registered: " + Narrow(query));
    if (m_failure.empty() && !served.empty()) Serve(when, served);
  }

  static std::map<std::wstring, size_t> Live() {
    std::map<std::wstring, size_t> live;
    for (const ksim::wmi::Subscription& s : ksim::wmi::Subscriptions())
      if (!s.silentlyEnded) ++live[s.query];
    return live;
  }

  // Every served controller sends messages and host-time requests from a thread of its own,
  // maybe while the platform fails: before, during and after the failure. Each message, and each
  // host-time request, is logged or answered exactly once, or counted in a loss record; one
  // raised while WMI was up and the log took writes is logged exactly once.
  void Serve(const std::string& when, const std::vector<std::wstring>& served) {
    const Drill drill = static_cast<Drill>(Chance(0.5) ? 0 : 1 + Pick(3));
    const size_t from = LogSize();
    const size_t calls = ksim::machine::SetAdapterTimeCalls().size();
    std::vector<size_t> answeredBefore;
    for (const std::wstring& c : served) answeredBefore.push_back(AnsweredOf(c));
    m_tracked.clear();
    m_raisedTimes.assign(served.size(), 0);
    m_sentOf.assign(served.size(), 0);

    if (drill == Drill::None) {
      Rounds(served, 3 + Pick(8), true, false);
    } else {
      Rounds(served, Pick(3), true, false);
      const size_t during = 1 + Pick(3);
      switch (drill) {
        case Drill::LogRefusal:
          BeginLogRefusal(0);
          Rounds(served, during, false, false);
          EndLogRefusal();
          break;
        case Drill::GetObject:
          FailGetObject(served);
          Rounds(served, during, true, false);
          DropFaults();
          break;
        default: {
          // WMI restarts while the controllers send; what they send then is WMI's to lose.
          const auto after = std::chrono::milliseconds(Pick(20));
          Rounds(served, during, false, true, [&] {
            std::this_thread::sleep_for(after);
            RestartWmi();
            m_bRestartSeen = true;
          });
          EndOutage();
          break;
        }
      }
      Recover(when);
      if (!m_failure.empty()) return;
      auto standing = [] {
        std::map<std::wstring, size_t> live = Live();
        return live[kQueryMessages] == 1 && live[kQueryHostTime] == 1;
      };
      WaitFor(standing, kRecoveryBound);
      if (!Check(standing(), when + ": the message and host-time queries do not stand after the failure")) return;
      Rounds(served, 1 + Pick(3), true, false);
    }
    ++m_nQuiet;
    if (!m_failure.empty()) return;
    if (!Check(SettleWithEvents(), when + ": the machine never settled after the messages")) return;
    Account(when, served, from, calls, answeredBefore);
  }

  // `rounds` rounds of one message and one host-time request of each served controller, each
  // controller on a thread of its own. The driver keeps one message per controller, so each
  // controller's next message waits until its last one was read (or logged, or counted as lost);
  // and each host-time request waits to be answered (or counted as lost). While WMI restarts
  // (bWmisLoss), a controller stops sending and waiting once the restart has come.
  void Rounds(const std::vector<std::wstring>& served, size_t rounds, bool bStrict, bool bWmisLoss,
              const std::function<void()>& meanwhile = {}) {
    m_bRestartSeen = false;
    std::mutex lock;
    std::vector<std::string> unserved;
    std::vector<std::thread> threads;
    const size_t from = LogSize();
    for (size_t c = 0; c < served.size(); ++c)
      threads.emplace_back([&, c] {
        const std::wstring printf = InstancePath(ksim::machine::kAdapterPrintf, served[c]);
        for (size_t k = 0; k < rounds; ++k) {
          if (bWmisLoss && m_bRestartSeen) return;
          const std::string text = "quiet " + std::to_string(m_nQuiet) + " controller " + std::to_string(c) +
                                   " message " + std::to_string(m_sentOf[c]++);
          const std::string record = "\\Device\\Scsi\\velk45: " + text;
          const size_t reads = Reads::Get().Of(printf);
          const size_t answered = AnsweredOf(served[c]);
          size_t messagesLost, timesLost;
          {
            const LogView log(from);
            messagesLost = log.CountEventLost("A firmware message", served[c]);
            timesLost = log.CountEventLost("A host-time request", served[c]);
          }
          {
            std::lock_guard<std::mutex> guard(lock);
            m_tracked.push_back(Tracked{c, text, bStrict, bWmisLoss});
            ++m_raisedTimes[c];
          }
          ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(served[c], 20, 5, text));
          ksim::machine::RaiseHostTimeRequest(served[c]);
          bool bMessage = false, bTime = false;
          WaitFor(
              [&] {
                if (bWmisLoss && m_bRestartSeen) return true;
                const LogView log(from);
                bMessage = bMessage || !log.Find(record).empty() || Reads::Get().Of(printf) > reads ||
                           log.CountEventLost("A firmware message", served[c]) > messagesLost;
                bTime = bTime || AnsweredOf(served[c]) > answered ||
                        log.CountEventLost("A host-time request", served[c]) > timesLost;
                return bMessage && bTime;
              },
              kServeBound);
          if (bWmisLoss && m_bRestartSeen) return;
          if (!bMessage || !bTime) {
            std::lock_guard<std::mutex> guard(lock);
            unserved.push_back(text + (bMessage ? "" : " (message)") + (bTime ? "" : " (host-time request)"));
            return;
          }
        }
      });
    if (meanwhile) meanwhile();
    for (std::thread& t : threads) t.join();
    Check(unserved.empty(), "neither served nor counted as lost within " +
                                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kServeBound).count()) +
                                " s: " + (unserved.empty() ? "" : unserved[0]));
  }

  // Each tracked message logged at most once, in its controller's order, and logged unless a loss
  // record counts it; each host-time request answered at most once, and answered unless a loss
  // record counts it; one record for every answer, unless the log refused more than it keeps.
  void Account(const std::string& when, const std::vector<std::wstring>& served, size_t from, size_t calls,
               const std::vector<size_t>& answeredBefore) {
    const LogView log(from);
    const auto [messagesRefusedAndLost, timesRefusedAndLost] = log.RefusedAndLost();
    std::vector<size_t> missing(served.size(), 0), missingAllowed(served.size(), 0), lastAt(served.size(), 0);
    std::vector<bool> bAny(served.size(), false);
    for (const Tracked& t : m_tracked) {
      const std::vector<size_t> at = log.Find("\\Device\\Scsi\\velk45: " + t.text);
      if (!Check(at.size() <= 1, when + ": logged " + std::to_string(at.size()) + " times: " + t.text)) return;
      if (at.empty()) {
        if (!Check(!t.bStrict, when + ": never logged: " + t.text)) return;
        ++missing[t.controller];
        continue;
      }
      if (!Check(!bAny[t.controller] || at[0] > lastAt[t.controller], when + ": logged out of order: " + t.text))
        return;
      bAny[t.controller] = true;
      lastAt[t.controller] = at[0];
    }
    size_t answered = 0;
    for (size_t c = 0; c < served.size(); ++c) {
      size_t raisedAroundRestart = 0;
      for (const Tracked& t : m_tracked) raisedAroundRestart += t.controller == c && t.bWmisLoss;
      // What is missing is counted: by the controller's loss records, by the warning of records
      // the log refused, or, raised around a restart, by the loss of WMI.
      const size_t messagesLost = log.CountEventLost("A firmware message", served[c]);
      Check(missing[c] <= messagesLost + static_cast<size_t>(messagesRefusedAndLost) + raisedAroundRestart,
            when + ": " + std::to_string(missing[c]) + " message(s) of controller " + std::to_string(c) +
                " lost in silence");
      const size_t n = AnsweredOf(served[c]) - answeredBefore[c];
      const size_t timesLost = log.CountEventLost("A host-time request", served[c]);
      Check(n <= m_raisedTimes[c], when + ": " + std::to_string(n) + " answers to " +
                                       std::to_string(m_raisedTimes[c]) + " host-time requests of controller " +
                                       std::to_string(c));
      Check(n + timesLost + raisedAroundRestart >= m_raisedTimes[c],
            when + ": " + std::to_string(m_raisedTimes[c] - std::min(n, m_raisedTimes[c])) +
                " host-time request(s) of controller " + std::to_string(c) + " unanswered, " +
                std::to_string(timesLost) + " counted as lost");
      answered += n;
    }
    const size_t all = ksim::machine::SetAdapterTimeCalls().size() - calls;
    Check(all == answered, when + ": " + std::to_string(all - answered) + " host-time answers to no tracked request");
    Check(log.CountHostTimeRecords() + static_cast<size_t>(timesRefusedAndLost) == answered,
          when + ": " + std::to_string(log.CountHostTimeRecords()) + " host-time records for " +
              std::to_string(answered) + " answers");
    m_pTotals->messages += m_tracked.size();
    m_pTotals->hostTimes += m_tracked.size();
  }

  // Stops the service while every controller sends events; the stop must end within the wait
  // hint, report stopped last, and leave no registration behind. Through a WMI call that hangs
  // (a cancellation, or a release of the connection) it must report stopped within 15 s all the
  // same, rising check point after check point, and say that it could not finish; its threads
  // may then be cut at the end of the process, and what the hung call held stays registered.
  void StopInAStorm(bool bHang) {
    std::shared_ptr<Gate> hang;
    std::unique_ptr<ksim::ScopedHook> hook;
    auto bStopping = std::make_shared<std::atomic<bool>>(false);
    if (bHang) {
      const char* call = Chance(0.5) ? "IWbemServices::CancelAsyncCall" : "IWbemServices::Release";
      Note(std::string("stop through a hang in ") + call);
      hang = std::make_shared<Gate>();
      hook = std::make_unique<ksim::ScopedHook>(call, "", [hang, bStopping] {
        if (*bStopping) hang->Wait();
      });
      ++m_pTotals->faults[fkStopHang];
    } else {
      Note("stop");
    }
    std::atomic<bool> bStop{false};
    std::vector<std::thread> threads;
    for (const auto& [path, driver] : m_controllers)
      threads.emplace_back([&, path = path] {
        for (int k = 0; !bStop; ++k) {
          ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(path, 20, k, "stop storm"));
          ksim::machine::RaiseHostTimeRequest(path);
          Pace(bStop);
        }
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + Pick(30)));
    std::thread releaser = ReleaseHeldStatusAtTheStop();
    const size_t from = LogSize();
    *bStopping = true;
    const auto begin = Clock::now();
    const DWORD dwError = ksim::ControlServiceByName(kServiceName, SERVICE_CONTROL_STOP);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    const bool bStopped = ksim::WaitForServiceState(kServiceName, SERVICE_STOPPED, kHungStopMs + 5000);
    const auto tookToStopped = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    bStop = true;
    for (std::thread& t : threads) t.join();
    Check(dwError == 0, "the stop control failed with " + std::to_string(dwError));
    Check(took.count() < kWaitHintMs, "the stop took " + std::to_string(took.count()) + " ms");
    Check(bStopped && tookToStopped.count() < kHungStopMs,
          "stopped was reported after " + std::to_string(tookToStopped.count()) + " ms");
    Check(ksim::WaitForServiceProcesses(20000), "the service process did not end after its stop");
    if (hang) {
      // The thread that hung goes on after the end of its process: it is cut at its next call,
      // or finishes what it was doing. Either comes at once.
      hang->Open();
      const auto deadline = Clock::now() + 10s;
      while (CutThisCycle() == 0 && ksim::LiveCount("com_objects") > m_llComBefore && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
      m_bCutAtTheStop = CutThisCycle() > 0;
    }
    hook.reset();
    if (releaser.joinable()) releaser.join();
    std::vector<ksim::StatusReport> reports = ksim::StatusReports(kServiceName);
    Check(!reports.empty() && reports.back().status.dwCurrentState == SERVICE_STOPPED, "stopped is not the last report");
    if (!bHang) {
      Check(ksim::wmi::Subscriptions().empty(), "a query is still registered after the stop");
      Check(CutThisCycle() == 0,
            "a thread of the service was still running when its process ended (the stop said it was incomplete " +
                std::to_string(LogView(from).CountIds(c_dwMsgStopIncomplete)) + " time(s))");
      return;
    }
    DWORD dwLastCheckPoint = 0;
    size_t nPending = 0;
    for (const ksim::StatusReport& r : reports) {
      if (r.status.dwCurrentState != SERVICE_STOP_PENDING) continue;
      ++nPending;
      Check(r.status.dwCheckPoint > dwLastCheckPoint, "a stop-pending report without a rising check point");
      dwLastCheckPoint = r.status.dwCheckPoint;
    }
    Check(nPending > 2, "only " + std::to_string(nPending) + " stop-pending report(s) through the hang");
    Check(LogView(from).CountIds(c_dwMsgStopIncomplete) >= 1, "the stop through a hang did not say that it was incomplete");
  }

  // At a system shutdown the service stops as at a stop control: the messages it has in hand
  // (read, with record writes slowed down) reach the log before the system ends the process.
  void ShutdownWithMessagesInHand() {
    const DWORD budget = Chance(0.5) ? 5000 : 20000;
    const unsigned slowMs = static_cast<unsigned>(5 + Pick(16));
    const size_t perController = 1 + Pick(5);
    Note("shutdown with a budget of " + std::to_string(budget) + " ms, " + std::to_string(perController) +
         " message(s) of each served controller in hand, record writes " + std::to_string(slowMs) + " ms");
    ++m_pTotals->faults[fkShutdown];
    std::vector<std::wstring> served;
    if (ksim::machine::RaidDriverLoaded())
      for (const auto& [path, driver] : m_controllers)
        if (driver == kRaidDriver) served.push_back(path);
    const size_t from = LogSize();
    std::vector<std::string> texts;
    {
      ksim::ScopedHook slow("ReportEventA", "velk4", [slowMs] { std::this_thread::sleep_for(std::chrono::milliseconds(slowMs)); });
      std::mutex lock;
      std::vector<std::thread> threads;
      for (size_t c = 0; c < served.size(); ++c)
        threads.emplace_back([&, c] {
          const std::wstring printf = InstancePath(ksim::machine::kAdapterPrintf, served[c]);
          for (size_t k = 0; k < perController; ++k) {
            const std::string text = "in hand: controller " + std::to_string(c) + " message " + std::to_string(k);
            {
              std::lock_guard<std::mutex> guard(lock);
              texts.push_back(text);
            }
            const size_t reads = Reads::Get().Of(printf);
            ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(served[c], 20, 5, text));
            // The driver's protocol: the next message of a controller is stored once this one is read.
            WaitFor([&] { return Reads::Get().Of(printf) > reads; }, kServeBound);
          }
        });
      for (std::thread& t : threads) t.join();
      std::thread releaser = ReleaseHeldStatusAtTheStop();
      const std::vector<std::string> cut = ksim::ShutdownSystem(budget);
      if (releaser.joinable()) releaser.join();
      Check(cut.empty(), "the service did not stop within the shutdown budget of " + std::to_string(budget) + " ms");
    }
    const LogView log(from);
    const bool bSaidIncomplete = log.CountIds(c_dwMsgStopIncomplete) > 0;
    for (const std::string& text : texts) {
      const size_t n = log.Find("\\Device\\Scsi\\velk45: " + text).size();
      Check(n == 1 || (n == 0 && bSaidIncomplete),
            "at the shutdown, logged " + std::to_string(n) + " times: " + text);
    }
    m_pTotals->messages += texts.size();
    Check(ksim::WaitForServiceProcesses(20000), "the service process did not end after the shutdown");
    std::vector<ksim::StatusReport> reports = ksim::StatusReports(kServiceName);
    Check(!reports.empty() && reports.back().status.dwCurrentState == SERVICE_STOPPED, "stopped is not the last report");
    Check(ksim::wmi::Subscriptions().empty(), "a query is still registered after the shutdown");
    Check(CutThisCycle() == 0, "a thread of the service was still running when its process ended");
  }

  // With held cancellation statuses, WMI lets them go once the service has reported stopped.
  std::thread ReleaseHeldStatusAtTheStop() {
    if (m_order != ksim::wmi::CancelOrder::StatusHeld) return std::thread();
    return std::thread([] {
      ksim::WaitForServiceState(kServiceName, SERVICE_STOPPED, 30000);
      ksim::wmi::ReleaseHeldStatus();
    });
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
    std::lock_guard<std::mutex> guard(m_checkLock);
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
  std::mutex m_checkLock;
  std::string m_failure;
  bool m_bManual = false;
  ksim::wmi::CancelOrder m_order = ksim::wmi::CancelOrder::StatusBeforeReturn;
  std::map<std::wstring, std::wstring> m_controllers;  // path -> driver
  size_t m_nextPath = 0;
  size_t m_nQuiet = 0;
  std::string m_actions;
  bool m_bPolledSinceUnload = true;

  // The platform's failures in play, and what the service has to come back from.
  std::vector<std::pair<FaultKind, std::unique_ptr<ksim::ScopedFault>>> m_faults;
  bool m_bRestarted = false;    // WMI restarted since the last recovery...
  size_t m_restartMark = 0;     // ...after this many records
  bool m_bOutageOpen = false;   // WMI stays away until EndOutage()...
  DWORD m_outageEndsAfterMs = 0;  // ...which comes after this long
  bool m_bLogRefusing = false;
  size_t m_nRefusalActions = 0;
  DWORD m_refusalExtraMs = 0;
  bool m_bBacklogToFlush = false;
  bool m_bCutAtTheStop = false;  // a thread of the service was cut at the end of its process
  unsigned m_nCutBefore = 0;     // threads cut before this cycle
  int64_t m_llComBefore = 0;     // COM objects alive before this cycle (held by those threads)

  unsigned CutThisCycle() const { return ksim::CutThreads(kServiceName) - m_nCutBefore; }
  std::atomic<bool> m_bRestartSeen{false};

  // The events Serve tracks.
  std::vector<Tracked> m_tracked;
  std::vector<size_t> m_raisedTimes;  // host-time requests raised, by served controller
  std::vector<size_t> m_sentOf;       // messages sent, by served controller: each thread its own
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
      // What the service said of itself in the failed cycle, its host-time records aside.
      if (bVerbose)
        for (const ksim::EventRecord& r : ksim::EventLogRecords())
          if (r.source == kServiceName && r.eventId != c_dwMsgServiceInfo && r.strings.size() == 1)
            std::printf("  record 0x%08X: %s", static_cast<unsigned>(r.eventId), r.strings[0].c_str());
      return 1;
    }
  }
  std::string faults;
  for (size_t k = 0; k < fkCount; ++k)
    faults += (k ? ", " : "") + std::to_string(totals.faults[k]) + " " + kFaultNames[k];
  std::printf("korvlog soak: %llu cycles passed; %llu messages and %llu host-time requests served exactly once or "
              "counted as lost; %llu churn actions; faults: %s\n",
              static_cast<unsigned long long>(totals.cycles), static_cast<unsigned long long>(totals.messages),
              static_cast<unsigned long long>(totals.hostTimes), static_cast<unsigned long long>(totals.churnEvents),
              faults.c_str());
  return 0;
}
