// The simulated WMI as tests and tools drive it: the repository of classes and instances, event
// delivery on WMI's own threads, and the behaviours that Windows leaves open, as options.
//
// Namespaces: ROOT\WMI, ROOT\CIMV2 and ROOT\DEFAULT. ROOT\CIMV2 holds Win32_SCSIController (no
// instances until the machine adds controllers); ROOT\WMI holds WMIEvent, the base of drivers'
// event classes. Every namespace holds the system classes (__ClassCreationEvent, ...).
//
// Calls and their fault selectors (see ksim/Faults.h):
//   "IWbemLocator::ConnectServer"              the namespace text as passed
//   "IWbemServices::GetObject"                 the object path
//   "IWbemServices::CreateInstanceEnum"        the class name
//   "IWbemServices::ExecNotificationQueryAsync" "<FROM class>" or "<FROM class>:<ISA class>"
//   "IWbemServices::CancelAsyncCall"           none
//   "IWbemServices::ExecMethod"                the method name
//   "IWbemServices::Release", "IWbemLocator::Release", "IEnumWbemClassObject::Release" (recorded only)
//   "IEnumWbemClassObject::Next" / "::Reset"   the class name
//   "IWbemClassObject::Get" / "::Put"          the property name
//   "IWbemClassObject::Clone" / "::SpawnInstance" the class name;  "::GetMethod" the method name
// A fault on a call with an out-pointer returns the fault's result with the pointer null (result
// S_OK: "succeeded but gave nothing"). IEnumWbemClassObject::Next knows variants, below.
//
// Threads: every Indicate and SetStatus runs on the delivery pool, never on the thread that
// changed the repository or called CancelAsyncCall. Each subscription holds one sink reference
// from ExecNotificationQueryAsync until its final SetStatus has returned (or a crash of the
// service ends it without one); each queued delivery holds one more. Objects passed to Indicate are released right after it returns.
#pragma once

#include <simwin/wbemidl.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ksim::wmi {

extern const wchar_t kRootWmi[];    // L"ROOT\\WMI"
extern const wchar_t kRootCimv2[];  // L"ROOT\\CIMV2"

// Variants of a fault on "IEnumWbemClassObject::Next".
constexpr int kNextFailWithObject = 2;  // the fault's result, one object delivered and counted
constexpr int kNextNullObject = 3;      // the fault's result, one counted but a null pointer
constexpr int kNextTimedOut = 4;        // WBEM_S_TIMEDOUT with nothing delivered

// One property value as WMI holds it: an owned VARIANT.
class Value {
 public:
  Value();  // VT_NULL: a property without value
  explicit Value(const VARIANT& v);  // a copy
  static Value Null();
  static Value Str(const std::wstring& s);
  static Value I4(LONG l);
  static Value Bool(bool b);
  static Value Bytes(const std::vector<BYTE>& bytes);  // VT_ARRAY | VT_UI1
  static Value Object(IUnknown* p);                    // VT_UNKNOWN, one more reference
  Value(const Value& other);
  Value& operator=(const Value& other);
  ~Value();

  const VARIANT& Variant() const { return m_v; }
  VARTYPE Type() const { return m_v.vt; }
  // Readings for tests; a value of another type reads as empty or 0.
  std::wstring AsString() const;
  LONG AsI4() const;
  std::vector<BYTE> AsBytes() const;

 private:
  VARIANT m_v;
};

// A property of an object given by a test: a value, or std::nullopt for "the object has no such
// property at all" (IWbemClassObject::Get then answers WBEM_E_NOT_FOUND). Values may have any
// variant type, also one that does not fit the property's CIM type.
struct PropertyValue {
  std::wstring name;
  std::optional<Value> value;
};
using Properties = std::vector<PropertyValue>;

struct PropertyDef {
  std::wstring name;
  CIMTYPE type;
  bool key = false;
};

// One call of a method, as its handler sees it. The handler fills out and returns the HRESULT
// that ExecMethod returns.
struct MethodCall {
  std::wstring nameSpace;
  std::wstring className;
  std::wstring methodName;
  std::wstring objectPath;  // as the caller passed it
  std::optional<Properties> target;  // the instance's properties; none for a call on the class
  std::map<std::wstring, Value> in;  // the input parameters that have a value, by exact name
  Properties out;
};
using MethodHandler = std::function<HRESULT(MethodCall& call)>;

struct MethodDef {
  std::wstring name;
  std::vector<PropertyDef> in;
  std::vector<PropertyDef> out;
  MethodHandler handler;
};

struct ClassDef {
  std::wstring name;
  std::wstring superclass;  // empty, or a class of the namespace (L"WMIEvent" makes an event class)
  std::vector<PropertyDef> properties;
  std::vector<MethodDef> methods;
};

// Repository. Every change raises the intrinsic events that subscriptions ask for.
bool DefineClass(const std::wstring& ns, const ClassDef& def);   // false if it exists
bool RemoveClass(const std::wstring& ns, const std::wstring& name);  // its instances go first
bool HasClass(const std::wstring& ns, const std::wstring& name);
// Creates an instance, or replaces the one with the same key values (no event then).
bool PutInstance(const std::wstring& ns, const std::wstring& className, const Properties& props);
// Deletes the instance whose __RELPATH equals relPath (compared without regard to case).
bool DeleteInstance(const std::wstring& ns, const std::wstring& relPath);
std::vector<Properties> Instances(const std::wstring& ns, const std::wstring& className);
// Raises an extrinsic event of an event class; false if the class is missing or no event class.
// An event whose properties do not name TIME_CREATED gets WMI's stamp: the 100-ns count since
// 1601 (uint64, handed out as a decimal VT_BSTR), strictly increasing over every event the
// simulated WMI raises, intrinsic ones included, and the same in every subscription's copy.
bool RaiseEvent(const std::wstring& ns, const std::wstring& className, const Properties& props);

// Delivery threads: Indicate and SetStatus run on a small pool of WMI's own threads, never on
// the caller's thread. With more than one thread, deliveries may overlap and overtake.
void SetDeliveryThreads(unsigned count);  // default 2
// Waits until no delivery is queued or running. False on time-out.
bool WaitIdle(DWORD timeoutMilliseconds = 10000);
// Deliveries queued and not yet running: how far WMI is behind.
size_t QueuedDeliveries();

// Intrinsic events ("WITHIN n"): delivered at once on every change (default), or only when the
// test polls, as WMI's poller would see them: the difference since the last poll, one batch per
// subscription.
enum class Polling { Immediate, Manual };
void SetPolling(Polling mode);
void PollNow();

// While a ScopedBatch lives, every event for a subscription is held back; when the outermost
// batch ends, each subscription gets all of its events in one Indicate.
class ScopedBatch {
 public:
  ScopedBatch();
  ~ScopedBatch();
  ScopedBatch(const ScopedBatch&) = delete;
  ScopedBatch& operator=(const ScopedBatch&) = delete;
};

// When CancelAsyncCall delivers its SetStatus(0, WBEM_E_CALL_CANCELLED, NULL, NULL):
//   StatusBeforeReturn (default): on a WMI thread, and CancelAsyncCall waits until it returned;
//   StatusAfterReturn: queued to a WMI thread when CancelAsyncCall returns;
//   StatusHeld: held until the test calls ReleaseHeldStatus().
enum class CancelOrder { StatusBeforeReturn, StatusAfterReturn, StatusHeld };
void SetCancelOrder(CancelOrder order);
void ReleaseHeldStatus();
// How long a StatusBeforeReturn cancel waits for the sink before it gives up and returns (a
// sink that never returns from SetStatus would hang Windows). Each give-up is counted in
// LiveCount("wmi_cancel_wait_timeouts").
void SetCancelWaitLimit(DWORD milliseconds);  // default 20000

// What happens to a subscription whose class (extrinsic, or TargetInstance ISA) is removed:
//   Silent (default): it stays registered and never delivers again;
//   StatusError: it ends with SetStatus(0, hr, NULL, NULL) on a WMI thread.
enum class ClassRemoval { Silent, StatusError };
void SetClassRemoval(ClassRemoval behaviour, HRESULT hr = static_cast<HRESULT>(WBEM_E_CALL_CANCELLED));

// Faults of ExecNotificationQueryAsync with this variant accept the query (S_OK, one sink
// reference) and then end it at once with SetStatus(0, fault.result, NULL, NULL) on a WMI
// thread, as Wine does with intrinsic queries; whether that status arrives before or after the
// call returns is WMI's choice:
//   kAcceptThenFail: queued when the call returns (it may still run first);
//   kAcceptThenFailBeforeReturn: the call returns only after that SetStatus has returned.
constexpr int kAcceptThenFail = 2;
constexpr int kAcceptThenFailBeforeReturn = 3;

struct Subscription {
  std::wstring nameSpace;
  std::wstring query;
  const IWbemObjectSink* sink;
  bool silentlyEnded;  // the class went away under ClassRemoval::Silent
};
// The registered event queries, oldest first.
std::vector<Subscription> Subscriptions();
size_t CountSubscriptions(const IWbemObjectSink* sink);
// Delivered so far: Indicate calls, objects in them, SetStatus calls.
struct DeliveryCounts {
  size_t indicateCalls;
  size_t indicatedObjects;
  size_t setStatusCalls;
};
DeliveryCounts Deliveries();

// Watches IWbemServices::GetObject, to time what a consumer reads: the observer runs on the
// calling thread after each call has read the repository, just before it returns, with the
// path as passed (empty for none) and the call's result. An empty function removes it.
using GetObjectObserver = std::function<void(const wchar_t* path, HRESULT hr)>;
void SetGetObjectObserver(GetObjectObserver observer);

// A restart of the WMI service (WinMgmt) under running consumers.
//
// Every IWbemLocator, IWbemServices and IEnumWbemClassObject handed out before the restart is
// dead for good: each of its calls but AddRef, Release and QueryInterface is recorded and
// fault-able as before and then returns hrDead. IWbemClassObject objects are local data and
// keep working. Every subscription ends (Crash: silently, its sink reference released; Orderly:
// with SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_SHUTTING_DOWN, NULL, NULL) on a WMI thread), and
// the deliveries queued for any call are dropped; a delivery already running may still finish.
// The repository keeps its content (the driver and the system register theirs again).
//
// WinMgmt in the Service Control Manager follows: at the restart its process ends (handles to
// it are signalled) and it is stopped during an outage, or runs at once in a new process without
// one; when the outage ends it runs in a new process.
enum class RestartKind {
  Crash,    // every subscription ends without any SetStatus
  Orderly,  // every subscription gets SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_SHUTTING_DOWN, NULL, NULL) on a WMI thread
};
struct RestartOptions {
  RestartKind kind = RestartKind::Crash;
  // What every call on an object handed out before the restart returns from then on:
  // RPC_E_DISCONNECTED (0x80010108) or HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) (0x800706BA).
  HRESULT hrDead = RPC_E_DISCONNECTED;
  // How long new connections fail after the restart; 0: WMI is back at once; INFINITE: until EndOutage().
  DWORD outageMilliseconds = 0;
  // During the outage IWbemLocator::ConnectServer on a new locator returns this...
  HRESULT hrConnect = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  // ...and, when set, CoCreateInstance(CLSID_WbemLocator) itself fails with CO_E_SERVER_EXEC_FAILURE (0x80080005).
  bool locatorFails = false;
};
void Restart(const RestartOptions& options = {});
void EndOutage();  // WMI is back now
bool InOutage();
unsigned RestartCount();  // restarts since the last Reset()

// Ends every subscription without SetStatus (releasing the sinks), waits for the threads to be
// idle, ends any outage, and restores the repository and every option to the start state.
// Objects that a restart made dead stay dead.
void Reset();

}  // namespace ksim::wmi
