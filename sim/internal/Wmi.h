// Inside the simulated WMI: object data, object paths, the repository lock and the event engine.
#pragma once

#include <ksim/Wmi.h>

#include "internal/Com.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ksim::detail {

HRESULT CreateWbemLocator(REFIID riid, void** ppv);

}  // namespace ksim::detail

namespace ksim::wmi::detail {

// ASCII case-blind equality, as WMI compares class, property and namespace names.
bool NameEq(const std::wstring& a, const std::wstring& b);
bool NameEq(const wchar_t* a, const std::wstring& b);

struct Prop {
  std::wstring name;
  CIMTYPE type;
  bool key;
  Value value;  // VT_NULL when the property has no value
};

// The content of one WMI object: a class definition or an instance. Objects handed out are
// snapshots; the repository keeps its own ObjectData.
struct ObjectData {
  std::wstring nameSpace;
  std::wstring className;
  std::wstring superclass;
  bool isClass = false;
  std::vector<Prop> props;
  std::vector<MethodDef> methods;  // class definitions only

  Prop* Find(const std::wstring& name);
  const Prop* Find(const std::wstring& name) const;
};

// __RELPATH: Class for a class; Class.Key="value"[,Key2=...] for an instance with keys (keys in
// name order, strings quoted with \ and " escaped); empty for an instance without key value.
std::wstring RelPath(const ObjectData& data);
std::wstring EscapeKeyValue(const std::wstring& value);
// The text of a key's value as a path names it.
bool KeyText(const Value& value, std::wstring* pText, bool* pbQuoted);

struct ObjectPath {
  std::wstring nameSpace;  // empty when the path has none
  std::wstring className;
  std::vector<std::pair<std::wstring, std::wstring>> keys;  // name (may be empty), unescaped value
  bool hasKeys = false;
};
bool ParseObjectPath(const std::wstring& text, ObjectPath* pPath);

// A new COM object (one reference) holding a copy of data.
IWbemClassObject* MakeObject(const ObjectData& data);
// A copy whose embedded objects are copies too.
ObjectData CloneData(const ObjectData& data);
// The data of an object of this simulated host; false for a foreign object.
bool DataOf(IWbemClassObject* pObject, ObjectData* pData);

// The repository lock guards namespaces, classes, instances and subscriptions. Nothing that
// calls out to a sink runs while it is held. It counts itself among the host's locks held.
class RepositoryMutex {
 public:
  void lock() {
    m_mutex.lock();
    ++ksim::detail::t_nHostLocksHeld;
  }
  bool try_lock() {
    if (!m_mutex.try_lock()) return false;
    ++ksim::detail::t_nHostLocksHeld;
    return true;
  }
  void unlock() {
    --ksim::detail::t_nHostLocksHeld;
    m_mutex.unlock();
  }

 private:
  std::mutex m_mutex;
};
RepositoryMutex& RepositoryLock();

struct Namespace;
// The namespace of a ConnectServer path (\\.\ROOT\WMI, ROOT\WMI, ...), canonical name out.
bool ResolveNamespace(const std::wstring& path, std::wstring* pCanonical);

// Under the repository lock.
const ObjectData* FindClassLocked(const std::wstring& ns, const std::wstring& name);
bool IsaLocked(const std::wstring& ns, const std::wstring& className, const std::wstring& ancestor);
std::vector<ObjectData> InstancesLocked(const std::wstring& ns, const std::wstring& className);
const ObjectData* FindInstanceLocked(const std::wstring& ns, const ObjectPath& path);
std::vector<ObjectData> ClassesLocked(const std::wstring& ns);

// Event engine (Events.cpp).
enum class EventKind { Extrinsic, ClassCreation, ClassDeletion, InstanceCreation, InstanceDeletion };
struct ParsedQuery {
  EventKind kind;
  std::wstring fromClass;
  std::wstring isaClass;  // empty: no ISA condition
};
bool ParseEventQuery(const std::wstring& text, ParsedQuery* pQuery);

// With hrFailAtOnce the call is accepted and ended at once with that status; bEndBeforeReturn
// waits until its SetStatus has returned. ullGeneration is the owner's (see Restart.cpp): an
// owner that a restart made dead registers and cancels nothing.
HRESULT Subscribe(const void* pOwner, uint64_t ullGeneration, const std::wstring& ns, const std::wstring& query,
                  const ParsedQuery& parsed, IWbemObjectSink* pSink, std::optional<HRESULT> hrFailAtOnce,
                  bool bEndBeforeReturn = false);
HRESULT Cancel(const void* pOwner, uint64_t ullGeneration, IWbemObjectSink* pSink);

// Called under the repository lock after each change.
void OnClassChangeLocked(const std::wstring& ns, const ObjectData& cls, bool bCreated);
void OnInstanceChangeLocked(const std::wstring& ns, const ObjectData& inst, bool bCreated);
void OnClassRemovedLocked(const std::wstring& ns, const std::wstring& className);
void RaiseExtrinsicLocked(const std::wstring& ns, const ObjectData& event);
void ResetEventsLocked(std::vector<IWbemObjectSink*>* pToRelease);
void ResetEventOptions();
// The TIME_CREATED of the next event: now as a FILETIME count, and always above the last one.
ULONGLONG NextEventTimeLocked();
// The service goes down: under the repository lock the generation advances and every
// subscription ends (bOrderly: with WBEM_E_SHUTTING_DOWN on a WMI thread), and every queued
// delivery is dropped.
void EndEventsForRestart(bool bOrderly);

// Restarts of the service (Restart.cpp). Every locator, services and enumerator belongs to the
// generation it was made in; a restart ends the generation, and its objects are dead from then
// on. The generation advances only under the repository lock.
uint64_t CurrentGeneration();
void AdvanceGenerationLocked();
// What the calls of an object of that generation return, if the generation has ended.
std::optional<HRESULT> DeadResult(uint64_t ullGeneration);
// During an outage: what ConnectServer returns, and whether a new locator cannot be made.
bool OutageNow(HRESULT* phrConnect, bool* pbLocatorFails);
// Ends any outage and forgets the restarts (ksim::wmi::Reset); dead objects stay dead.
void ResetRestarts();

}  // namespace ksim::wmi::detail
