// Event queries of the simulated WMI: the WQL forms the product registers, subscriptions, and
// delivery of Indicate and SetStatus on a small pool of WMI's own threads.
//
// Each subscription holds one reference on its sink from ExecNotificationQueryAsync until its
// final SetStatus has returned (or, without a final SetStatus, until ksim::wmi::Reset or a crash
// of the service). Each
// queued delivery holds one more reference of its own. The objects of an Indicate are WMI's:
// they are released as soon as Indicate returns.
#include "internal/Wmi.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cwctype>
#include <deque>
#include <map>
#include <thread>

namespace ksim::wmi::detail {
namespace {

struct Sub {
  uint64_t id;
  const void* pOwner;
  std::wstring ns;
  std::wstring query;
  ParsedQuery parsed;
  IWbemObjectSink* pSink;  // the subscription's reference
  bool bSilent = false;
  std::map<std::wstring, ObjectData> snapshot;  // what the last poll saw (manual polling)
};

// Counts down once per task; CancelAsyncCall waits on it for StatusBeforeReturn.
struct Latch {
  std::mutex lock;
  std::condition_variable done;
  size_t left = 0;
  void CountDown() {
    std::lock_guard<std::mutex> guard(lock);
    if (left && --left == 0) done.notify_all();
  }
  bool Wait(DWORD ms) {
    std::unique_lock<std::mutex> guard(lock);
    return done.wait_for(guard, std::chrono::milliseconds(ms), [&] { return left == 0; });
  }
};

struct Task {
  IWbemObjectSink* pSink = nullptr;  // one reference, released after the call
  uint64_t subId = 0;                // Indicate: delivered only while this subscription lives
  bool bStatus = false;
  std::vector<ObjectData> objects;
  HRESULT hr = S_OK;
  std::shared_ptr<Latch> latch;
};

struct Engine {
  // Guarded by RepositoryLock().
  std::vector<std::shared_ptr<Sub>> subs;
  uint64_t nextId = 1;
  int batchDepth = 0;
  std::map<uint64_t, std::vector<ObjectData>> batched;
  Polling polling = Polling::Immediate;
  CancelOrder cancelOrder = CancelOrder::StatusBeforeReturn;
  DWORD cancelWaitMs = 20000;
  ClassRemoval removal = ClassRemoval::Silent;
  HRESULT removalHr = static_cast<HRESULT>(WBEM_E_CALL_CANCELLED);
  std::vector<Task> held;
  ULONGLONG ullLastEventTime = 0;  // the TIME_CREATED of the last event

  // The delivery queue, guarded by qLock.
  std::mutex qLock;
  std::condition_variable qReady;
  std::condition_variable qIdle;
  std::deque<Task> queue;
  size_t running = 0;
  unsigned threads = 0;
  unsigned wanted = 2;

  std::atomic<size_t> indicateCalls{0}, indicatedObjects{0}, setStatusCalls{0};
};

Engine& E() {
  static Engine* s_pEngine = new Engine;  // never destroyed: its threads outlive main
  return *s_pEngine;
}

thread_local bool t_bPoolThread = false;

void Run(Task& t) {
  Engine& e = E();
  if (t.bStatus) {
    t.pSink->SetStatus(WBEM_STATUS_COMPLETE, t.hr, nullptr, nullptr);
    ++e.setStatusCalls;
  } else {
    bool bLive = false;
    {
      std::lock_guard<RepositoryMutex> guard(RepositoryLock());
      for (auto& s : e.subs)
        if (s->id == t.subId) bLive = !s->bSilent;
    }
    if (bLive) {
      std::vector<IWbemClassObject*> objects;
      for (const ObjectData& d : t.objects) objects.push_back(MakeObject(CloneData(d)));
      t.pSink->Indicate(static_cast<LONG>(objects.size()), objects.data());
      ++e.indicateCalls;
      e.indicatedObjects += objects.size();
      for (IWbemClassObject* p : objects) p->Release();
    }
  }
  t.objects.clear();  // embedded objects are released here, not under the queue lock
  t.pSink->Release();
  if (t.latch) t.latch->CountDown();
}

void PoolThread(unsigned index) {
  t_bPoolThread = true;
  Engine& e = E();
  for (;;) {
    Task t;
    {
      std::unique_lock<std::mutex> guard(e.qLock);
      e.qReady.wait(guard, [&] { return !e.queue.empty() || index >= e.wanted; });
      if (e.queue.empty()) {
        --e.threads;
        return;
      }
      t = std::move(e.queue.front());
      e.queue.pop_front();
      ++e.running;
    }
    Run(t);
    std::lock_guard<std::mutex> guard(e.qLock);
    --e.running;
    if (e.queue.empty() && e.running == 0) e.qIdle.notify_all();
  }
}

// Hands tasks to the pool; the tasks already hold their sink references.
void Enqueue(std::vector<Task> tasks) {
  if (tasks.empty()) return;
  Engine& e = E();
  std::lock_guard<std::mutex> guard(e.qLock);
  for (Task& t : tasks) e.queue.push_back(std::move(t));
  while (e.threads < e.wanted) std::thread(PoolThread, e.threads++).detach();
  e.qReady.notify_all();
}

Task IndicateTask(const Sub& s, std::vector<ObjectData> objects) {
  Task t;
  t.pSink = s.pSink;
  t.pSink->AddRef();
  t.subId = s.id;
  t.objects = std::move(objects);
  return t;
}

// The final SetStatus of a subscription: the task takes over the subscription's reference.
Task FinalStatusTask(const Sub& s, HRESULT hr) {
  Task t;
  t.pSink = s.pSink;
  t.bStatus = true;
  t.hr = hr;
  return t;
}

void DeliverLocked(const Sub& s, ObjectData object) {
  Engine& e = E();
  if (e.batchDepth > 0) {
    e.batched[s.id].push_back(std::move(object));
    return;
  }
  std::vector<Task> tasks;
  tasks.push_back(IndicateTask(s, {std::move(object)}));
  Enqueue(std::move(tasks));
}

bool IsIntrinsic(EventKind k) { return k != EventKind::Extrinsic; }
bool IsClassKind(EventKind k) { return k == EventKind::ClassCreation || k == EventKind::ClassDeletion; }

const wchar_t* EventClassName(EventKind k) {
  switch (k) {
    case EventKind::ClassCreation: return L"__ClassCreationEvent";
    case EventKind::ClassDeletion: return L"__ClassDeletionEvent";
    case EventKind::InstanceCreation: return L"__InstanceCreationEvent";
    case EventKind::InstanceDeletion: return L"__InstanceDeletionEvent";
    default: return L"";
  }
}

// A task that will not run: its objects and its sink reference go, and whoever waits for it
// stops waiting.
void Drop(Task& t) {
  t.objects.clear();
  t.pSink->Release();
  if (t.latch) t.latch->CountDown();
}

// The TIME_CREATED of one event, taken once however many subscriptions get a copy of it.
class EventTime {
 public:
  ULONGLONG Get() {
    if (!m_ullTime) m_ullTime = NextEventTimeLocked();
    return m_ullTime;
  }

 private:
  ULONGLONG m_ullTime = 0;
};

// An intrinsic event object whose TargetClass or TargetInstance is a copy of target. uint64
// properties travel as decimal strings.
ObjectData IntrinsicEvent(const std::wstring& ns, EventKind kind, const ObjectData& target, ULONGLONG ullTime) {
  ObjectData ev;
  if (const ObjectData* pClass = FindClassLocked(ns, EventClassName(kind))) ev = *pClass;
  ev.isClass = false;
  if (Prop* p = ev.Find(L"TIME_CREATED")) p->value = Value::Str(std::to_wstring(ullTime));
  IWbemClassObject* pTarget = MakeObject(CloneData(target));
  if (Prop* p = ev.Find(IsClassKind(kind) ? L"TargetClass" : L"TargetInstance")) p->value = Value::Object(pTarget);
  pTarget->Release();
  return ev;
}

bool ClassMatches(const std::wstring& ns, const ObjectData& cls, const std::wstring& isa) {
  if (isa.empty() || NameEq(cls.className, isa)) return true;
  return !cls.superclass.empty() && IsaLocked(ns, cls.superclass, isa);
}

std::map<std::wstring, ObjectData> SnapshotLocked(const Sub& s) {
  std::map<std::wstring, ObjectData> out;
  auto upper = [](std::wstring t) {
    for (wchar_t& c : t) c = static_cast<wchar_t>(towupper(c));
    return t;
  };
  if (IsClassKind(s.parsed.kind)) {
    for (const ObjectData& c : ClassesLocked(s.ns))
      if (ClassMatches(s.ns, c, s.parsed.isaClass)) out.emplace(upper(c.className), c);
  } else {
    for (const ObjectData& i : InstancesLocked(s.ns, s.parsed.isaClass.empty() ? L"" : s.parsed.isaClass)) {
      std::wstring path = RelPath(i);
      if (!path.empty()) out.emplace(upper(path), i);
    }
  }
  return out;
}

// WQL tokens: identifiers, numbers, quoted strings and '*'.
std::vector<std::wstring> Tokens(const std::wstring& text, bool* pbOk) {
  std::vector<std::wstring> out;
  *pbOk = true;
  for (size_t i = 0; i < text.size();) {
    wchar_t c = text[i];
    if (iswspace(c)) {
      ++i;
    } else if (c == L'"' || c == L'\'') {
      size_t end = text.find(c, i + 1);
      if (end == std::wstring::npos) {
        *pbOk = false;
        return out;
      }
      out.push_back(text.substr(i, end - i + 1));
      i = end + 1;
    } else if (iswalnum(c) || c == L'_' || c == L'.') {
      size_t start = i;
      while (i < text.size() && (iswalnum(text[i]) || text[i] == L'_' || text[i] == L'.')) ++i;
      out.push_back(text.substr(start, i - start));
    } else {
      out.push_back(std::wstring(1, c));
      ++i;
    }
  }
  return out;
}

}  // namespace

bool ParseEventQuery(const std::wstring& text, ParsedQuery* pQuery) {
  bool bOk;
  std::vector<std::wstring> t = Tokens(text, &bOk);
  if (!bOk || t.size() < 4 || !NameEq(t[0], L"SELECT") || t[1] != L"*" || !NameEq(t[2], L"FROM")) return false;
  ParsedQuery q;
  q.fromClass = t[3];
  if (NameEq(q.fromClass, L"__ClassCreationEvent")) q.kind = EventKind::ClassCreation;
  else if (NameEq(q.fromClass, L"__ClassDeletionEvent")) q.kind = EventKind::ClassDeletion;
  else if (NameEq(q.fromClass, L"__InstanceCreationEvent")) q.kind = EventKind::InstanceCreation;
  else if (NameEq(q.fromClass, L"__InstanceDeletionEvent")) q.kind = EventKind::InstanceDeletion;
  else if (q.fromClass.compare(0, 2, L"__") == 0) return false;  // other system events: not supported here
  else q.kind = EventKind::Extrinsic;
  size_t i = 4;
  if (i < t.size() && NameEq(t[i], L"WITHIN")) {
    if (i + 1 >= t.size() || !iswdigit(t[i + 1][0])) return false;
    i += 2;
  }
  if (i < t.size()) {
    if (!IsIntrinsic(q.kind) || !NameEq(t[i], L"WHERE") || i + 4 != t.size()) return false;
    const wchar_t* pwszTarget = IsClassKind(q.kind) ? L"TargetClass" : L"TargetInstance";
    const std::wstring& quoted = t[i + 3];
    if (!NameEq(t[i + 1], pwszTarget) || !NameEq(t[i + 2], L"ISA") || quoted.size() < 3 ||
        (quoted[0] != L'"' && quoted[0] != L'\''))
      return false;
    q.isaClass = quoted.substr(1, quoted.size() - 2);
  }
  *pQuery = q;
  return true;
}

HRESULT Subscribe(const void* pOwner, uint64_t ullGeneration, const std::wstring& ns, const std::wstring& query,
                  const ParsedQuery& parsed, IWbemObjectSink* pSink, std::optional<HRESULT> hrFailAtOnce,
                  bool bEndBeforeReturn) {
  Engine& e = E();
  std::vector<Task> tasks;
  auto latch = std::make_shared<Latch>();
  DWORD dwWait;
  {
    std::lock_guard<RepositoryMutex> guard(RepositoryLock());
    // Checked under the lock that a restart holds: no call of a dead connection gets in after it.
    if (ullGeneration != CurrentGeneration()) return *DeadResult(ullGeneration);
    dwWait = e.cancelWaitMs;
    if (parsed.kind == EventKind::Extrinsic) {
      if (!FindClassLocked(ns, parsed.fromClass)) return WBEM_E_INVALID_CLASS;
      if (!IsaLocked(ns, parsed.fromClass, L"__Event")) return WBEM_E_NOT_EVENT_CLASS;
    } else if (!IsClassKind(parsed.kind) && !parsed.isaClass.empty() && !FindClassLocked(ns, parsed.isaClass)) {
      // A class event may wait for a class that does not exist yet; an instance event may not.
      return WBEM_E_INVALID_CLASS;
    }
    auto s = std::make_shared<Sub>();
    s->id = e.nextId++;
    s->pOwner = pOwner;
    s->ns = ns;
    s->query = query;
    s->parsed = parsed;
    s->pSink = pSink;
    pSink->AddRef();
    if (hrFailAtOnce) {
      tasks.push_back(FinalStatusTask(*s, *hrFailAtOnce));
    } else {
      s->snapshot = SnapshotLocked(*s);
      e.subs.push_back(s);
    }
  }
  if (bEndBeforeReturn && !tasks.empty()) {
    if (t_bPoolThread) {
      Run(tasks.front());
      return WBEM_S_NO_ERROR;
    }
    latch->left = 1;
    tasks.front().latch = latch;
    Enqueue(std::move(tasks));
    if (!latch->Wait(dwWait)) ksim::detail::AddLive("wmi_cancel_wait_timeouts", 1);
    return WBEM_S_NO_ERROR;
  }
  Enqueue(std::move(tasks));
  return WBEM_S_NO_ERROR;
}

HRESULT Cancel(const void* pOwner, uint64_t ullGeneration, IWbemObjectSink* pSink) {
  Engine& e = E();
  std::vector<Task> tasks;
  CancelOrder order;
  DWORD dwWait;
  auto latch = std::make_shared<Latch>();
  {
    std::lock_guard<RepositoryMutex> guard(RepositoryLock());
    if (ullGeneration != CurrentGeneration()) return *DeadResult(ullGeneration);
    order = e.cancelOrder;
    dwWait = e.cancelWaitMs;
    for (size_t i = 0; i < e.subs.size();) {
      Sub& s = *e.subs[i];
      if (s.pOwner == pOwner && s.pSink == pSink) {
        tasks.push_back(FinalStatusTask(s, static_cast<HRESULT>(WBEM_E_CALL_CANCELLED)));
        e.batched.erase(s.id);
        e.subs.erase(e.subs.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    if (tasks.empty()) return WBEM_E_INVALID_PARAMETER;
    if (order == CancelOrder::StatusHeld) {
      for (Task& t : tasks) e.held.push_back(std::move(t));
      return WBEM_S_NO_ERROR;
    }
  }
  if (order == CancelOrder::StatusAfterReturn) {
    Enqueue(std::move(tasks));
    return WBEM_S_NO_ERROR;
  }
  latch->left = tasks.size();
  if (t_bPoolThread) {
    // Called from within a delivery: the status is delivered on this WMI thread, at once.
    for (Task& t : tasks) Run(t);
    return WBEM_S_NO_ERROR;
  }
  for (Task& t : tasks) t.latch = latch;
  Enqueue(std::move(tasks));
  if (!latch->Wait(dwWait)) ksim::detail::AddLive("wmi_cancel_wait_timeouts", 1);
  return WBEM_S_NO_ERROR;
}

void OnClassChangeLocked(const std::wstring& ns, const ObjectData& cls, bool bCreated) {
  Engine& e = E();
  if (e.polling == Polling::Manual) return;
  EventKind kind = bCreated ? EventKind::ClassCreation : EventKind::ClassDeletion;
  EventTime time;
  for (auto& s : e.subs)
    if (!s->bSilent && s->parsed.kind == kind && NameEq(s->ns, ns) && ClassMatches(ns, cls, s->parsed.isaClass))
      DeliverLocked(*s, IntrinsicEvent(ns, kind, cls, time.Get()));
}

void OnInstanceChangeLocked(const std::wstring& ns, const ObjectData& inst, bool bCreated) {
  Engine& e = E();
  if (e.polling == Polling::Manual) return;
  EventKind kind = bCreated ? EventKind::InstanceCreation : EventKind::InstanceDeletion;
  EventTime time;
  for (auto& s : e.subs)
    if (!s->bSilent && s->parsed.kind == kind && NameEq(s->ns, ns) &&
        (s->parsed.isaClass.empty() || IsaLocked(ns, inst.className, s->parsed.isaClass)))
      DeliverLocked(*s, IntrinsicEvent(ns, kind, inst, time.Get()));
}

void OnClassRemovedLocked(const std::wstring& ns, const std::wstring& className) {
  Engine& e = E();
  std::vector<Task> tasks;
  for (size_t i = 0; i < e.subs.size();) {
    Sub& s = *e.subs[i];
    bool bDepends = NameEq(s.ns, ns) && ((s.parsed.kind == EventKind::Extrinsic && NameEq(s.parsed.fromClass, className)) ||
                                         (!IsClassKind(s.parsed.kind) && s.parsed.kind != EventKind::Extrinsic &&
                                          NameEq(s.parsed.isaClass, className)));
    if (!bDepends) {
      ++i;
    } else if (e.removal == ClassRemoval::Silent) {
      s.bSilent = true;
      ++i;
    } else {
      tasks.push_back(FinalStatusTask(s, e.removalHr));
      e.batched.erase(s.id);
      e.subs.erase(e.subs.begin() + static_cast<long>(i));
    }
  }
  Enqueue(std::move(tasks));
}

void RaiseExtrinsicLocked(const std::wstring& ns, const ObjectData& event) {
  for (auto& s : E().subs)
    if (!s->bSilent && s->parsed.kind == EventKind::Extrinsic && NameEq(s->ns, ns) &&
        IsaLocked(ns, event.className, s->parsed.fromClass))
      DeliverLocked(*s, event);
}

void ResetEventsLocked(std::vector<IWbemObjectSink*>* pToRelease) {
  Engine& e = E();
  for (auto& s : e.subs) pToRelease->push_back(s->pSink);
  for (Task& t : e.held) pToRelease->push_back(t.pSink);
  e.subs.clear();
  e.held.clear();
  e.batched.clear();
  e.batchDepth = 0;
}

ULONGLONG NextEventTimeLocked() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const ULONGLONG ullNow = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  Engine& e = E();
  // Two events within one tick of the clock (or under a clock that stands still) still differ.
  e.ullLastEventTime = ullNow > e.ullLastEventTime ? ullNow : e.ullLastEventTime + 1;
  return e.ullLastEventTime;
}

void EndEventsForRestart(bool bOrderly) {
  Engine& e = E();
  std::vector<Task> statuses;
  std::vector<IWbemObjectSink*> released;
  std::vector<Task> held;
  std::deque<Task> queued;
  {
    std::lock_guard<RepositoryMutex> guard(RepositoryLock());
    AdvanceGenerationLocked();
    for (auto& s : e.subs) {
      if (bOrderly) {
        statuses.push_back(FinalStatusTask(*s, static_cast<HRESULT>(WBEM_E_SHUTTING_DOWN)));
      } else {
        released.push_back(s->pSink);
      }
    }
    e.subs.clear();
    e.batched.clear();
    held.swap(e.held);
    std::lock_guard<std::mutex> queueGuard(e.qLock);
    queued.swap(e.queue);
    if (e.running == 0) e.qIdle.notify_all();
  }
  // Sinks are released outside the locks: a sink's last Release may call anything.
  for (Task& t : queued) Drop(t);
  for (Task& t : held) Drop(t);
  for (IWbemObjectSink* p : released) p->Release();
  Enqueue(std::move(statuses));
}

void ResetEventOptions() {
  Engine& e = E();
  {
    std::lock_guard<RepositoryMutex> guard(RepositoryLock());
    e.polling = Polling::Immediate;
    e.cancelOrder = CancelOrder::StatusBeforeReturn;
    e.cancelWaitMs = 20000;
    e.removal = ClassRemoval::Silent;
    e.removalHr = static_cast<HRESULT>(WBEM_E_CALL_CANCELLED);
  }
  SetDeliveryThreads(2);
}

}  // namespace ksim::wmi::detail

namespace ksim::wmi {

using namespace detail;

void SetDeliveryThreads(unsigned count) {
  Engine& e = E();
  std::lock_guard<std::mutex> guard(e.qLock);
  e.wanted = count ? count : 1;
  e.qReady.notify_all();
}

bool WaitIdle(DWORD timeoutMilliseconds) {
  Engine& e = E();
  std::unique_lock<std::mutex> guard(e.qLock);
  return e.qIdle.wait_for(guard, std::chrono::milliseconds(timeoutMilliseconds),
                          [&] { return e.queue.empty() && e.running == 0; });
}

size_t QueuedDeliveries() {
  Engine& e = E();
  std::lock_guard<std::mutex> guard(e.qLock);
  return e.queue.size();
}

void SetPolling(Polling mode) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  Engine& e = E();
  e.polling = mode;
  if (mode == Polling::Manual)
    for (auto& s : e.subs) s->snapshot = SnapshotLocked(*s);
}

void PollNow() {
  std::vector<Task> tasks;
  {
    std::lock_guard<RepositoryMutex> guard(RepositoryLock());
    // One poll sees each change once: every subscription's copy of it carries the same time.
    std::map<std::wstring, EventTime> times;
    for (auto& s : E().subs) {
      if (s->bSilent || !IsIntrinsic(s->parsed.kind)) continue;
      std::map<std::wstring, ObjectData> now = SnapshotLocked(*s);
      const bool bCreation = s->parsed.kind == EventKind::ClassCreation || s->parsed.kind == EventKind::InstanceCreation;
      const auto& after = bCreation ? now : s->snapshot;
      const auto& before = bCreation ? s->snapshot : now;
      std::vector<ObjectData> events;
      for (const auto& [key, data] : after)
        if (!before.count(key)) {
          EventTime& time = times[s->ns + L'|' + std::to_wstring(static_cast<int>(s->parsed.kind)) + L'|' + key];
          events.push_back(IntrinsicEvent(s->ns, s->parsed.kind, data, time.Get()));
        }
      s->snapshot = std::move(now);
      if (!events.empty()) tasks.push_back(IndicateTask(*s, std::move(events)));
    }
  }
  Enqueue(std::move(tasks));
}

ScopedBatch::ScopedBatch() {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  ++E().batchDepth;
}

ScopedBatch::~ScopedBatch() {
  std::vector<Task> tasks;
  {
    std::lock_guard<RepositoryMutex> guard(RepositoryLock());
    Engine& e = E();
    if (e.batchDepth > 0 && --e.batchDepth == 0) {
      for (auto& s : e.subs) {
        auto it = e.batched.find(s->id);
        if (it != e.batched.end() && !it->second.empty()) tasks.push_back(IndicateTask(*s, std::move(it->second)));
      }
      e.batched.clear();
    }
  }
  Enqueue(std::move(tasks));
}

void SetCancelOrder(CancelOrder order) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  E().cancelOrder = order;
}

void ReleaseHeldStatus() {
  std::vector<Task> tasks;
  {
    std::lock_guard<RepositoryMutex> guard(RepositoryLock());
    tasks.swap(E().held);
  }
  Enqueue(std::move(tasks));
}

void SetCancelWaitLimit(DWORD milliseconds) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  E().cancelWaitMs = milliseconds;
}

void SetClassRemoval(ClassRemoval behaviour, HRESULT hr) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  E().removal = behaviour;
  E().removalHr = hr;
}

std::vector<Subscription> Subscriptions() {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  std::vector<Subscription> out;
  for (auto& s : E().subs) out.push_back(Subscription{s->ns, s->query, s->pSink, s->bSilent});
  return out;
}

size_t CountSubscriptions(const IWbemObjectSink* sink) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  size_t n = 0;
  for (auto& s : E().subs) n += s->pSink == sink ? 1 : 0;
  return n;
}

DeliveryCounts Deliveries() {
  Engine& e = E();
  return DeliveryCounts{e.indicateCalls.load(), e.indicatedObjects.load(), e.setStatusCalls.load()};
}

}  // namespace ksim::wmi
