#include "Workload.h"

#include "Measure.h"

#include <ksim/EventLog.h>
#include <ksim/Faults.h>
#include <ksim/Host.h>
#include <ksim/Machine.h>
#include <ksim/Wmi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <mutex>
#include <sys/prctl.h>
#include <thread>
#include <unordered_map>

namespace bench {

const char kDriver[] = "velk4";

namespace {

using ksim::wmi::Value;

std::wstring InstancePath(size_t c) {
  wchar_t sz[128];
  swprintf(sz, sizeof(sz) / sizeof(sz[0]), L"PCI\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\4&%08x&0&00%02x",
           static_cast<unsigned>(0x1a2b3c00 + c), static_cast<unsigned>(0xe0 + c));
  return sz;
}

// The path a consumer passes to GetObject for a controller's message instance.
std::wstring ObjectPathOf(size_t c) {
  std::wstring escaped;
  for (wchar_t ch : ksim::machine::InstanceNameOf(InstancePath(c))) {
    if (ch == L'\\' || ch == L'"') escaped += L'\\';
    escaped += ch;
  }
  return std::wstring(ksim::machine::kAdapterPrintf) + L".InstanceName=\"" + escaped + L"\"";
}

// Every run's texts differ, so a late record of an earlier run can never pass for a new one.
unsigned s_uRun;

std::string TextOf(size_t c, size_t seq) {
  char sz[96];
  snprintf(sz, sizeof(sz), "run %u controller %zu message %06zu: logical drive 0 is optimal", s_uRun, c, seq);
  return sz;
}

std::string RecordOf(size_t c, const std::string& text) {
  return "\\Device\\Scsi\\" + std::string(kDriver) + std::to_string(c) + ": " + text;
}

// Sleeps until the steady clock (NowNs) reads ns.
void SleepUntil(int64_t ns) {
  std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns)));
}

}  // namespace

void SetUpMachine() {
  // A run makes millions of simulated calls; nothing reads their record.
  ksim::SetCallRecording(false);
  for (size_t c = 0; c < kControllers; ++c)
    ksim::machine::AddScsiController(InstancePath(c), std::wstring(kDriver, kDriver + sizeof(kDriver) - 1));
  ksim::machine::LoadRaidDriver(std::wstring(kDriver, kDriver + sizeof(kDriver) - 1));
  // Sleeps of a few hundred microseconds, as the gap search needs, on time.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
}

struct Driver::State {
  std::wstring paths[kControllers];
  std::wstring instanceNames[kControllers];
  std::mutex lock;
  std::condition_variable fetched;
  bool bPaced = false;
  bool inFlight[kControllers] = {};
  int64_t notifiedNs[kControllers] = {};
  std::deque<size_t> ready;
  RunResult* pResult = nullptr;
  std::vector<std::string> expected;
  bool bVerbose = false;

  int ControllerOf(const wchar_t* pwszPath) const {
    for (size_t c = 0; c < kControllers; ++c)
      if (paths[c] == pwszPath) return static_cast<int>(c);
    return -1;
  }

  // On the consumer's thread, once its GetObject has read the instance.
  void OnGetObject(const wchar_t* pwszPath) {
    const int64_t now = NowNs();
    const int c = ControllerOf(pwszPath);
    if (c < 0) return;
    std::lock_guard<std::mutex> guard(lock);
    if (!bPaced || !inFlight[c]) return;
    inFlight[c] = false;
    pResult->windowUs.push_back(static_cast<double>(now - notifiedNs[c]) / 1000.0);
    ready.push_back(static_cast<size_t>(c));
    fetched.notify_one();
  }

  // Stores message seq of controller c in its instance, then raises the notification.
  void Print(size_t c, size_t seq) {
    const std::string text = TextOf(c, seq);
    expected.push_back(RecordOf(c, text));
    ksim::wmi::PutInstance(ksim::wmi::kRootWmi, ksim::machine::kAdapterPrintf,
                           {{L"InstanceName", Value::Str(instanceNames[c])},
                            {L"Active", Value::Bool(true)},
                            {L"AdapterNumber", Value::I4(static_cast<LONG>(c))},
                            {L"Level", Value::I4(20)},
                            {L"Length", Value::I4(static_cast<LONG>(text.size()))},
                            {L"PrintfString", Value::Bytes(std::vector<BYTE>(text.begin(), text.end()))}});
    {
      std::lock_guard<std::mutex> guard(lock);
      if (bPaced) inFlight[c] = true;
      notifiedNs[c] = NowNs();
    }
    ksim::wmi::RaiseEvent(ksim::wmi::kRootWmi, ksim::machine::kAdapterPrintfNotification,
                          {{L"InstanceName", Value::Str(instanceNames[c])}, {L"Active", Value::Bool(true)}});
  }

  void Begin(RunResult* p, bool bPacedRun, size_t total) {
    ++s_uRun;
    std::lock_guard<std::mutex> guard(lock);
    pResult = p;
    bPaced = bPacedRun;
    ready.clear();
    for (bool& b : inFlight) b = false;
    expected.clear();
    expected.reserve(total);
    if (bPacedRun) p->windowUs.reserve(total);
  }
};

Driver::Driver(bool bVerbose) : m_pState(new State) {
  m_pState->bVerbose = bVerbose;
  for (size_t c = 0; c < kControllers; ++c) {
    m_pState->paths[c] = ObjectPathOf(c);
    m_pState->instanceNames[c] = ksim::machine::InstanceNameOf(InstancePath(c));
  }
  State* p = m_pState;
  ksim::wmi::SetGetObjectObserver([p](const wchar_t* pwszPath, HRESULT) { p->OnGetObject(pwszPath); });
}

Driver::~Driver() {
  ksim::wmi::SetGetObjectObserver(nullptr);
  delete m_pState;
}

RunResult Driver::Paced(size_t controllers, size_t total) {
  RunResult result;
  State& s = *m_pState;
  s.Begin(&result, true, total);
  std::vector<size_t> next(controllers, 0);
  const size_t share = total / controllers;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    for (size_t c = 0; c < controllers; ++c) s.ready.push_back(c);
  }
  while (result.sent < share * controllers) {
    size_t c;
    {
      std::unique_lock<std::mutex> guard(s.lock);
      if (!s.fetched.wait_for(guard, std::chrono::seconds(10), [&] { return !s.ready.empty(); })) {
        result.stalled = true;
        break;
      }
      c = s.ready.front();
      s.ready.pop_front();
    }
    if (next[c] == share) continue;
    s.Print(c, next[c]++);
    ++result.sent;
  }
  {
    // The last message of each controller: wait until it was fetched too.
    std::unique_lock<std::mutex> guard(s.lock);
    auto idle = [&] {
      for (size_t c = 0; c < controllers; ++c)
        if (s.inFlight[c]) return false;
      return true;
    };
    if (!result.stalled && !s.fetched.wait_for(guard, std::chrono::seconds(10), idle)) result.stalled = true;
    s.bPaced = false;
  }
  ksim::Settle(60000);
  return result;
}

RunResult Driver::Gapped(size_t controllers, size_t total, int64_t gapNs) {
  RunResult result;
  State& s = *m_pState;
  s.Begin(&result, false, total);
  // A driver that was held up (the machine has two cores) does not catch up: a controller's
  // next message never comes sooner than a gap after its last one.
  std::vector<int64_t> last(controllers, 0);
  int64_t round = NowNs() + 1000000, firstNs = 0, lastNs = 0;
  for (size_t k = 0; k < total; ++k) {
    const size_t c = k % controllers;
    if (c == 0 && k > 0) round = std::max(round + gapNs, NowNs());
    const int64_t due = round + gapNs * static_cast<int64_t>(c) / static_cast<int64_t>(controllers);
    SleepUntil(k < controllers ? due : std::max(due, last[c] + gapNs));
    last[c] = NowNs();
    if (k == 0) firstNs = last[c];
    if (k + controllers == total) lastNs = last[c];
    s.Print(c, k / controllers);
    ++result.sent;
  }
  // A driver slower than the gap falls behind: the gap it kept is what the consumer faced.
  const size_t rounds = total / controllers;
  if (rounds > 1) result.gapUs = static_cast<double>(lastNs - firstNs) / 1000.0 / static_cast<double>(rounds - 1);
  ksim::Settle(60000);
  return result;
}

RunResult Driver::Flood(size_t controllers, size_t target, size_t maxTotal, size_t (*inFlight)()) {
  RunResult result;
  State& s = *m_pState;
  s.Begin(&result, false, maxTotal);
  for (size_t k = 0; k < maxTotal && (k % controllers != 0 || inFlight() < target); ++k) {
    s.Print(k % controllers, k / controllers);
    ++result.sent;
  }
  return result;
}

void Driver::Count(RunResult* pResult) {
  const std::vector<std::string>& expected = m_pState->expected;
  std::unordered_map<std::string, size_t> counts;
  counts.reserve(expected.size());
  for (const std::string& e : expected) counts.emplace(e, 0);
  std::unordered_map<size_t, size_t> newest;  // controller -> the latest message of it logged so far
  for (const ksim::EventRecord& r : ksim::EventLogRecords()) {
    auto it = r.strings.size() == 1 && r.source == kDriver ? counts.find(r.strings[0]) : counts.end();
    if (it == counts.end()) {
      if (m_pState->bVerbose)
        fprintf(stderr, "other record: %s: %s\n", r.source.c_str(), r.strings.empty() ? "" : r.strings[0].c_str());
      ++pResult->other;
      continue;
    }
    ++it->second;
    // The controller and the message's number, as TextOf wrote them.
    unsigned run = 0;
    size_t c = 0, seq = 0;
    const size_t at = it->first.find(": run ");
    if (at != std::string::npos && sscanf(it->first.c_str() + at, ": run %u controller %zu message %zu", &run, &c, &seq) == 3) {
      auto last = newest.find(c);
      if (last != newest.end() && seq < last->second)
        ++pResult->inversions;
      else
        newest[c] = seq;
    }
  }
  ksim::ClearEventLog();
  for (const auto& [text, n] : counts) {
    if (n == 0) ++pResult->lost;
    if (n == 1) ++pResult->logged;
    if (n > 1) pResult->doubled += n - 1;
  }
}

}  // namespace bench
