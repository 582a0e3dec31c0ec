// The repository of the simulated WMI: namespaces with their classes and instances.
//
// Class definitions are declarative tables (PropertyDef, MethodDef); instances are property
// lists. Every change raises the intrinsic events that subscriptions ask for (Events.cpp).
#include "internal/Wmi.h"

#include <algorithm>
#include <map>

namespace ksim::wmi::detail {
namespace {

struct NamespaceData {
  std::vector<ObjectData> classes;
  std::vector<ObjectData> instances;
};

const wchar_t* const c_rgpwszNamespaces[] = {L"ROOT\\WMI", L"ROOT\\CIMV2", L"ROOT\\DEFAULT"};

struct Repository {
  std::map<std::wstring, NamespaceData> namespaces;  // by canonical (upper-case) name
};

Repository& Repo() {
  static Repository* s_pRepo = new Repository;
  return *s_pRepo;
}

ObjectData ClassFromDef(const std::wstring& ns, const ClassDef& def, const ObjectData* pSuper) {
  ObjectData cls;
  cls.nameSpace = ns;
  cls.className = def.name;
  cls.superclass = def.superclass;
  cls.isClass = true;
  if (pSuper) {
    cls.props = pSuper->props;
    cls.methods = pSuper->methods;
  }
  for (const PropertyDef& p : def.properties) {
    if (Prop* pExisting = cls.Find(p.name)) {
      *pExisting = Prop{p.name, p.type, p.key, Value()};
    } else {
      cls.props.push_back(Prop{p.name, p.type, p.key, Value()});
    }
  }
  for (const MethodDef& m : def.methods) cls.methods.push_back(m);
  return cls;
}

void AddSystemClasses(const std::wstring& ns, NamespaceData& data) {
  const PropertyDef time{L"TIME_CREATED", CIM_UINT64, false};
  const std::vector<ClassDef> defs = {
      {L"__SystemClass", L"", {}, {}},
      {L"__PARAMETERS", L"", {}, {}},
      {L"__Event", L"", {time}, {}},
      {L"__ExtrinsicEvent", L"__Event", {}, {}},
      {L"__ClassOperationEvent", L"__Event", {{L"TargetClass", CIM_OBJECT, false}}, {}},
      {L"__ClassCreationEvent", L"__ClassOperationEvent", {}, {}},
      {L"__ClassDeletionEvent", L"__ClassOperationEvent", {}, {}},
      {L"__InstanceOperationEvent", L"__Event", {{L"TargetInstance", CIM_OBJECT, false}}, {}},
      {L"__InstanceCreationEvent", L"__InstanceOperationEvent", {}, {}},
      {L"__InstanceDeletionEvent", L"__InstanceOperationEvent", {}, {}},
  };
  for (const ClassDef& d : defs) {
    const ObjectData* pSuper = nullptr;
    for (const ObjectData& c : data.classes)
      if (NameEq(c.className, d.superclass)) pSuper = &c;
    data.classes.push_back(ClassFromDef(ns, d, pSuper));
  }
}

void Populate(Repository& r) {
  r.namespaces.clear();
  for (const wchar_t* pwsz : c_rgpwszNamespaces) {
    NamespaceData& data = r.namespaces[pwsz];
    AddSystemClasses(pwsz, data);
  }
  // The base of every WDM driver's event classes.
  NamespaceData& wmi = r.namespaces[kRootWmi];
  const ObjectData* pExtrinsic = nullptr;
  for (const ObjectData& c : wmi.classes)
    if (NameEq(c.className, L"__ExtrinsicEvent")) pExtrinsic = &c;
  wmi.classes.push_back(ClassFromDef(kRootWmi, {L"WMIEvent", L"__ExtrinsicEvent", {}, {}}, pExtrinsic));
  // The operating system's SCSI controller class; the machine adds its instances.
  NamespaceData& cimv2 = r.namespaces[kRootCimv2];
  cimv2.classes.push_back(ClassFromDef(kRootCimv2,
                                       {L"Win32_SCSIController",
                                        L"",
                                        {{L"DeviceID", CIM_STRING, true},
                                         {L"DriverName", CIM_STRING, false},
                                         {L"Name", CIM_STRING, false},
                                         {L"Manufacturer", CIM_STRING, false},
                                         {L"PNPDeviceID", CIM_STRING, false},
                                         {L"Status", CIM_STRING, false}},
                                        {}},
                                       nullptr));
  // The machine's one disk, a keyed instance whose key holds backslashes.
  cimv2.classes.push_back(ClassFromDef(
      kRootCimv2,
      {L"Win32_DiskDrive", L"", {{L"DeviceID", CIM_STRING, true}, {L"Model", CIM_STRING, false}, {L"Index", CIM_UINT32, false}}, {}},
      nullptr));
  ObjectData disk = cimv2.classes.back();
  disk.isClass = false;
  disk.Find(L"DeviceID")->value = Value::Str(L"\\\\.\\PHYSICALDRIVE0");
  disk.Find(L"Model")->value = Value::Str(L"Simulated Disk");
  disk.Find(L"Index")->value = Value::I4(0);
  cimv2.instances.push_back(disk);
}

NamespaceData* FindNs(const std::wstring& ns) {
  Repository& r = Repo();
  if (r.namespaces.empty()) Populate(r);
  for (auto& [name, data] : r.namespaces)
    if (NameEq(name, ns)) return &data;
  return nullptr;
}

bool KeysEqual(const ObjectData& a, const ObjectData& b) {
  std::wstring pa = RelPath(a), pb = RelPath(b);
  return !pa.empty() && NameEq(pa, pb);
}

}  // namespace

RepositoryMutex& RepositoryLock() {
  static RepositoryMutex* s_pLock = new RepositoryMutex;
  return *s_pLock;
}

bool ResolveNamespace(const std::wstring& path, std::wstring* pCanonical) {
  std::wstring rest = path;
  for (wchar_t& c : rest)
    if (c == L'/') c = L'\\';
  // \\server\ with the local machine only.
  if (rest.compare(0, 2, L"\\\\") == 0) {
    size_t end = rest.find(L'\\', 2);
    if (end == std::wstring::npos) return false;
    std::wstring server = rest.substr(2, end - 2);
    if (server != L"." && !NameEq(server, L"localhost")) return false;
    rest = rest.substr(end + 1);
  }
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  FindNs(L"");
  for (auto& entry : Repo().namespaces) {
    if (NameEq(entry.first, rest)) {
      *pCanonical = entry.first;
      return true;
    }
  }
  return false;
}

const ObjectData* FindClassLocked(const std::wstring& ns, const std::wstring& name) {
  NamespaceData* pNs = FindNs(ns);
  if (!pNs) return nullptr;
  for (const ObjectData& c : pNs->classes)
    if (NameEq(c.className, name)) return &c;
  return nullptr;
}

bool IsaLocked(const std::wstring& ns, const std::wstring& className, const std::wstring& ancestor) {
  std::wstring current = className;
  for (int depth = 0; depth < 32 && !current.empty(); ++depth) {
    if (NameEq(current, ancestor)) return true;
    const ObjectData* pClass = FindClassLocked(ns, current);
    if (!pClass) return false;
    current = pClass->superclass;
  }
  return false;
}

std::vector<ObjectData> InstancesLocked(const std::wstring& ns, const std::wstring& className) {
  std::vector<ObjectData> out;
  NamespaceData* pNs = FindNs(ns);
  if (!pNs) return out;
  for (const ObjectData& i : pNs->instances)
    if (IsaLocked(ns, i.className, className)) out.push_back(i);
  return out;
}

std::vector<ObjectData> ClassesLocked(const std::wstring& ns) {
  NamespaceData* pNs = FindNs(ns);
  return pNs ? pNs->classes : std::vector<ObjectData>();
}

const ObjectData* FindInstanceLocked(const std::wstring& ns, const ObjectPath& path) {
  NamespaceData* pNs = FindNs(ns);
  if (!pNs) return nullptr;
  for (const ObjectData& inst : pNs->instances) {
    if (!NameEq(inst.className, path.className)) continue;
    size_t cKeys = 0;
    for (const Prop& p : inst.props) cKeys += p.key ? 1 : 0;
    if (cKeys != path.keys.size()) continue;
    bool bAll = true;
    for (const auto& [name, value] : path.keys) {
      const Prop* pKey = nullptr;
      if (name.empty()) {
        for (const Prop& p : inst.props)
          if (p.key) pKey = &p;
      } else {
        pKey = inst.Find(name);
      }
      std::wstring text;
      bool bQuoted;
      // Keys compare without regard to case, as WMI compares string keys.
      if (!pKey || !pKey->key || !KeyText(pKey->value, &text, &bQuoted) || !NameEq(text, value)) {
        bAll = false;
        break;
      }
    }
    if (bAll) return &inst;
  }
  return nullptr;
}

}  // namespace ksim::wmi::detail

namespace ksim::wmi {

using namespace detail;

bool DefineClass(const std::wstring& ns, const ClassDef& def) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  NamespaceData* pNs = FindNs(ns);
  if (!pNs || FindClassLocked(ns, def.name)) return false;
  const ObjectData* pSuper = def.superclass.empty() ? nullptr : FindClassLocked(ns, def.superclass);
  if (!def.superclass.empty() && !pSuper) return false;
  std::wstring canonical;
  for (auto& entry : Repo().namespaces)
    if (&entry.second == pNs) canonical = entry.first;
  pNs->classes.push_back(ClassFromDef(canonical, def, pSuper));
  OnClassChangeLocked(canonical, pNs->classes.back(), true);
  return true;
}

bool RemoveClass(const std::wstring& ns, const std::wstring& name) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  NamespaceData* pNs = FindNs(ns);
  if (!pNs) return false;
  auto it = std::find_if(pNs->classes.begin(), pNs->classes.end(),
                         [&](const ObjectData& c) { return NameEq(c.className, name); });
  if (it == pNs->classes.end()) return false;
  std::wstring canonical = it->nameSpace;
  // Its instances go first, each with its deletion event.
  for (size_t i = 0; i < pNs->instances.size();) {
    if (NameEq(pNs->instances[i].className, name)) {
      ObjectData gone = pNs->instances[i];
      pNs->instances.erase(pNs->instances.begin() + static_cast<long>(i));
      OnInstanceChangeLocked(canonical, gone, false);
    } else {
      ++i;
    }
  }
  ObjectData cls = *it;
  pNs->classes.erase(it);
  OnClassChangeLocked(canonical, cls, false);
  OnClassRemovedLocked(canonical, cls.className);
  return true;
}

bool HasClass(const std::wstring& ns, const std::wstring& name) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  return FindClassLocked(ns, name) != nullptr;
}

namespace {

ObjectData InstanceOf(const ObjectData& cls, const Properties& props) {
  ObjectData inst = cls;
  inst.isClass = false;
  inst.methods.clear();
  for (const PropertyValue& pv : props) {
    Prop* p = inst.Find(pv.name);
    if (!pv.value) {
      if (p) inst.props.erase(inst.props.begin() + (p - inst.props.data()));
      continue;
    }
    if (p) {
      p->value = *pv.value;
    } else {
      inst.props.push_back(Prop{pv.name, CIM_STRING, false, *pv.value});
    }
  }
  return inst;
}

}  // namespace

bool PutInstance(const std::wstring& ns, const std::wstring& className, const Properties& props) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  NamespaceData* pNs = FindNs(ns);
  const ObjectData* pClass = FindClassLocked(ns, className);
  if (!pNs || !pClass) return false;
  ObjectData inst = InstanceOf(*pClass, props);
  for (ObjectData& existing : pNs->instances) {
    if (NameEq(existing.className, inst.className) && KeysEqual(existing, inst)) {
      existing = inst;
      return true;
    }
  }
  pNs->instances.push_back(inst);
  OnInstanceChangeLocked(inst.nameSpace, inst, true);
  return true;
}

bool DeleteInstance(const std::wstring& ns, const std::wstring& relPath) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  NamespaceData* pNs = FindNs(ns);
  if (!pNs) return false;
  for (size_t i = 0; i < pNs->instances.size(); ++i) {
    if (NameEq(RelPath(pNs->instances[i]), relPath)) {
      ObjectData gone = pNs->instances[i];
      pNs->instances.erase(pNs->instances.begin() + static_cast<long>(i));
      OnInstanceChangeLocked(gone.nameSpace, gone, false);
      return true;
    }
  }
  return false;
}

std::vector<Properties> Instances(const std::wstring& ns, const std::wstring& className) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  std::vector<Properties> out;
  for (const ObjectData& inst : InstancesLocked(ns, className)) {
    Properties props;
    for (const Prop& p : inst.props) props.push_back(PropertyValue{p.name, p.value});
    out.push_back(props);
  }
  return out;
}

bool RaiseEvent(const std::wstring& ns, const std::wstring& className, const Properties& props) {
  std::lock_guard<RepositoryMutex> guard(RepositoryLock());
  const ObjectData* pClass = FindClassLocked(ns, className);
  if (!pClass || !IsaLocked(ns, className, L"__ExtrinsicEvent")) return false;
  ObjectData event = InstanceOf(*pClass, props);
  const bool bTimeGiven =
      std::any_of(props.begin(), props.end(), [](const PropertyValue& pv) { return NameEq(pv.name, L"TIME_CREATED"); });
  if (!bTimeGiven) {
    const Value stamp = Value::Str(std::to_wstring(NextEventTimeLocked()));
    if (Prop* p = event.Find(L"TIME_CREATED")) {
      p->value = stamp;
    } else {
      event.props.push_back(Prop{L"TIME_CREATED", CIM_UINT64, false, stamp});
    }
  }
  RaiseExtrinsicLocked(pClass->nameSpace, event);
  return true;
}

void Reset() {
  std::vector<IWbemObjectSink*> sinks;
  {
    std::lock_guard<RepositoryMutex> guard(RepositoryLock());
    ResetEventsLocked(&sinks);
  }
  WaitIdle();
  for (IWbemObjectSink* p : sinks) p->Release();
  ResetEventOptions();
  ResetRestarts();
  std::vector<ObjectData> dropped;  // destroyed outside the lock: values may hold objects
  {
    std::lock_guard<RepositoryMutex> guard(RepositoryLock());
    for (auto& entry : Repo().namespaces)
      for (ObjectData& i : entry.second.instances) dropped.push_back(std::move(i));
    Populate(Repo());
  }
}

}  // namespace ksim::wmi
