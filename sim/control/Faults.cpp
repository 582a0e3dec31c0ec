#include "internal/ServiceProcess.h"
#include "internal/Sim.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <mutex>

namespace ksim {
namespace {

struct ActiveFault {
  uint64_t id;
  Fault fault;
  unsigned seen = 0;
  unsigned hits = 0;
};

struct ActiveHook {
  uint64_t id;
  std::string call;
  std::string selector;
  std::function<void()> action;
};

struct Registry {
  std::mutex lock;
  uint64_t nextId = 1;
  uint64_t nextSequence = 1;
  std::vector<ActiveFault> faults;
  std::vector<ActiveHook> hooks;
  std::vector<Call> calls;
  bool recording = true;
  std::map<std::string, int64_t> live;
};

Registry& GetRegistry() {
  // Never destroyed: detached threads may still enter simulated calls during process exit.
  static Registry* s_pRegistry = new Registry;
  return *s_pRegistry;
}

bool Matches(const std::string& wantCall, const std::string& wantSelector, const char* call,
             const std::string& selector) {
  return wantCall == call && (wantSelector.empty() || detail::EqualsNoCase(wantSelector, selector));
}

}  // namespace

ScopedFault::ScopedFault(Fault fault) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  m_id = r.nextId++;
  r.faults.push_back(ActiveFault{m_id, std::move(fault)});
}

ScopedFault::~ScopedFault() {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.faults.erase(std::remove_if(r.faults.begin(), r.faults.end(),
                                [this](const ActiveFault& f) { return f.id == m_id; }),
                 r.faults.end());
}

unsigned ScopedFault::Hits() const {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const ActiveFault& f : r.faults)
    if (f.id == m_id) return f.hits;
  return 0;
}

ScopedHook::ScopedHook(std::string call, std::string selector, std::function<void()> action) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  m_id = r.nextId++;
  r.hooks.push_back(ActiveHook{m_id, std::move(call), std::move(selector), std::move(action)});
}

ScopedHook::~ScopedHook() {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.hooks.erase(std::remove_if(r.hooks.begin(), r.hooks.end(),
                               [this](const ActiveHook& h) { return h.id == m_id; }),
                r.hooks.end());
}

std::vector<Call> Calls(const std::string& call) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (call.empty()) return r.calls;
  std::vector<Call> out;
  for (const Call& c : r.calls)
    if (c.call == call) out.push_back(c);
  return out;
}

size_t CountCalls(const std::string& call, const std::string& selector) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  return static_cast<size_t>(std::count_if(r.calls.begin(), r.calls.end(), [&](const Call& c) {
    return Matches(call, selector, c.call.c_str(), c.selector);
  }));
}

void ClearCalls() {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.calls.clear();
}

void SetCallRecording(bool enabled) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.recording = enabled;
}

int64_t LiveCount(const std::string& kind) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.live.find(kind);
  return it == r.live.end() ? 0 : it->second;
}

namespace detail {

std::optional<Fault> Enter(const char* call, const std::string& selector) {
  ParkIfProcessEnded(call);
  Registry& r = GetRegistry();
  std::vector<std::function<void()>> actions;
  std::optional<Fault> result;
  {
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.recording) r.calls.push_back(Call{r.nextSequence++, call, selector, GetCurrentThreadId()});
    for (const ActiveHook& h : r.hooks)
      if (Matches(h.call, h.selector, call, selector)) actions.push_back(h.action);
    for (ActiveFault& f : r.faults) {
      if (!Matches(f.fault.call, f.fault.selector, call, selector)) continue;
      ++f.seen;
      bool fire = f.fault.occurrence == 0 || f.seen == f.fault.occurrence ||
                  (f.fault.andAfter && f.seen > f.fault.occurrence);
      if (fire && !result) {
        ++f.hits;
        result = f.fault;
      }
    }
  }
  // Hooks run outside the registry lock: they may call into the simulated host themselves.
  for (auto& action : actions) action();
  // A hook may have held the call until after the process ended: on Windows a thread blocked in
  // a call is ended with its process, so it never comes back from the call.
  if (!actions.empty()) ParkIfProcessEnded(call);
  return result;
}

void AddLive(const char* kind, int64_t delta) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.live[kind] += delta;
}

// Declared in internal/Com.h; here, with the calls it names, so that every build of the
// simulated WMI has it.
std::string Selector(const wchar_t* pwsz) {
  std::string s;
  if (!pwsz) return s;
  for (; *pwsz; ++pwsz) s += (*pwsz > 0 && *pwsz < 0x80) ? static_cast<char>(*pwsz) : '?';
  return s;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace detail
}  // namespace ksim
