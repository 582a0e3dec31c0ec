// Restarts of the simulated WMI service: the generations of the objects it hands out, the outage
// after a restart, and WinMgmt's process in the Service Control Manager.
//
// A restart ends the current generation. Every locator, services and enumerator made in it then
// answers each call with the restart's hrDead, as a proxy does whose server has gone: RPC has no
// way back to the old server, so the objects stay dead even after the service is back. Only a
// new locator and a new connection reach the new service.
#include "internal/SystemServices.h"
#include "internal/Wmi.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>

namespace ksim::wmi::detail {
namespace {

using Clock = std::chrono::steady_clock;

const char kWmiService[] = "WinMgmt";

struct RestartState {
  // One restart or end of an outage at a time, so that WinMgmt's state in the Service Control
  // Manager follows them in their order.
  std::mutex serial;
  // Guards the rest. A leaf: nothing else is locked while it is held.
  std::mutex lock;
  std::condition_variable changed;
  std::map<uint64_t, HRESULT> endedWith;  // what the objects of each ended generation return
  unsigned nRestarts = 0;
  bool bOutage = false;
  uint64_t outageId = 0;  // which restart's outage
  bool bTimed = false;
  Clock::time_point outageEnds;
  HRESULT hrConnect = S_OK;
  bool bLocatorFails = false;
};

RestartState& R() {
  static RestartState* s_pState = new RestartState;  // used by detached timer threads
  return *s_pState;
}

std::atomic<uint64_t> g_generation{1};

bool OutageLocked(const RestartState& r) { return r.bOutage && (!r.bTimed || Clock::now() < r.outageEnds); }

// Ends the outage of the given restart (0: whichever), with serial held; WinMgmt then runs in a
// new process.
void EndOutageSerialised(uint64_t outageId) {
  RestartState& r = R();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    if (!r.bOutage || (outageId && r.outageId != outageId)) return;
    r.bOutage = false;
    r.changed.notify_all();
  }
  ksim::detail::SetSystemServiceRunning(kWmiService, true);
}

// The end of a timed outage, unless something ended or replaced it first. InOutage() already
// says false from the moment the time is up; this brings WinMgmt back in the Service Control
// Manager.
void OutageTimer(uint64_t outageId, Clock::time_point ends) {
  RestartState& r = R();
  {
    std::unique_lock<std::mutex> guard(r.lock);
    r.changed.wait_until(guard, ends, [&] { return !r.bOutage || r.outageId != outageId; });
    if (!r.bOutage || r.outageId != outageId) return;
  }
  std::lock_guard<std::mutex> serial(r.serial);
  EndOutageSerialised(outageId);
}

}  // namespace

uint64_t CurrentGeneration() { return g_generation.load(std::memory_order_acquire); }

void AdvanceGenerationLocked() { g_generation.fetch_add(1, std::memory_order_acq_rel); }

std::optional<HRESULT> DeadResult(uint64_t ullGeneration) {
  if (ullGeneration == CurrentGeneration()) return std::nullopt;
  RestartState& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.endedWith.find(ullGeneration);
  return it == r.endedWith.end() ? RPC_E_DISCONNECTED : it->second;
}

bool OutageNow(HRESULT* phrConnect, bool* pbLocatorFails) {
  RestartState& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  if (!OutageLocked(r)) return false;
  if (phrConnect) *phrConnect = r.hrConnect;
  if (pbLocatorFails) *pbLocatorFails = r.bLocatorFails;
  return true;
}

void ResetRestarts() {
  EndOutage();
  RestartState& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  r.nRestarts = 0;
}

}  // namespace ksim::wmi::detail

namespace ksim::wmi {

using namespace detail;

void Restart(const RestartOptions& options) {
  RestartState& r = R();
  std::lock_guard<std::mutex> serial(r.serial);
  const bool bOutage = options.outageMilliseconds != 0;
  const bool bTimed = bOutage && options.outageMilliseconds != INFINITE;
  const Clock::time_point ends = Clock::now() + std::chrono::milliseconds(options.outageMilliseconds);
  uint64_t outageId;
  {
    std::lock_guard<std::mutex> guard(r.lock);
    // Recorded before the generation ends, so that whoever sees it ended finds its result.
    r.endedWith[CurrentGeneration()] = options.hrDead;
    ++r.nRestarts;
    r.bOutage = bOutage;
    r.bTimed = bTimed;
    r.outageEnds = ends;
    r.hrConnect = options.hrConnect;
    r.bLocatorFails = options.locatorFails;
    outageId = ++r.outageId;
    r.changed.notify_all();
  }
  EndEventsForRestart(options.kind == RestartKind::Orderly);
  ksim::detail::SetSystemServiceRunning(kWmiService, false);
  if (!bOutage) {
    ksim::detail::SetSystemServiceRunning(kWmiService, true);
  } else if (bTimed) {
    std::thread(OutageTimer, outageId, ends).detach();
  }
}

void EndOutage() {
  RestartState& r = R();
  std::lock_guard<std::mutex> serial(r.serial);
  EndOutageSerialised(0);
}

bool InOutage() { return OutageNow(nullptr, nullptr); }

unsigned RestartCount() {
  RestartState& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.nRestarts;
}

}  // namespace ksim::wmi
