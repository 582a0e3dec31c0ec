// The scriptable machine: controllers and the RAID driver on top of the simulated WMI.
#include <ksim/Machine.h>

#include "internal/Wmi.h"

#include <cwctype>
#include <mutex>

namespace ksim::machine {

const wchar_t kAdapterPrintf[] = L"Talvenix_AdapterPrintf";
const wchar_t kAdapterPrintfNotification[] = L"Talvenix_AdapterPrintfNotification";
const wchar_t kHostTimeRequest[] = L"Talvenix_HostTimeRequest";
const wchar_t kSetHostTime[] = L"Talvenix_SetHostTime";

namespace {

using wmi::detail::NameEq;
using wmi::PropertyValue;
using wmi::Value;

struct State {
  std::mutex lock;
  std::vector<Controller> controllers;
  std::optional<std::wstring> driver;  // the loaded driver's name
  std::vector<SetAdapterTimeCall> calls;
  HRESULT hrSetAdapterTime = WBEM_S_NO_ERROR;
};

State& S() {
  static State* s_pState = new State;
  return *s_pState;
}

std::wstring Upper(std::wstring s) {
  for (wchar_t& c : s) c = static_cast<wchar_t>(towupper(c));
  return s;
}

HRESULT SetAdapterTime(wmi::MethodCall& call) {
  SetAdapterTimeCall record;
  record.objectPath = call.objectPath;
  if (call.target)
    for (const PropertyValue& pv : *call.target)
      if (NameEq(pv.name, L"InstanceName") && pv.value) record.instanceName = pv.value->AsString();
  auto it = call.in.find(L"HostTime");
  record.hostTimeType = it == call.in.end() ? static_cast<VARTYPE>(VT_EMPTY) : it->second.Type();
  if (it != call.in.end() && it->second.Type() == VT_I4) record.hostTime = it->second.AsI4();
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  s.calls.push_back(record);
  return s.hrSetAdapterTime;
}

std::vector<wmi::ClassDef> DriverClasses() {
  const wmi::PropertyDef name{L"InstanceName", CIM_STRING, true};
  const wmi::PropertyDef active{L"Active", CIM_BOOLEAN, false};
  return {
      {kAdapterPrintf,
       L"",
       {name, active, {L"AdapterNumber", CIM_UINT32}, {L"Level", CIM_UINT32}, {L"Length", CIM_UINT32},
        {L"PrintfString", CIM_UINT8 | CIM_FLAG_ARRAY}},
       {}},
      {kAdapterPrintfNotification, L"WMIEvent", {{L"InstanceName", CIM_STRING}, active}, {}},
      {kHostTimeRequest, L"WMIEvent", {{L"InstanceName", CIM_STRING}, active}, {}},
      {kSetHostTime,
       L"",
       {name, active},
       {{L"SetAdapterTime", {{L"HostTime", CIM_SINT32}}, {}, SetAdapterTime}}},
  };
}

void PutDriverInstances(const Controller& c) {
  wmi::Properties props = {{L"InstanceName", Value::Str(InstanceNameOf(c.instancePath))}, {L"Active", Value::Bool(true)}};
  wmi::PutInstance(wmi::kRootWmi, kAdapterPrintf, props);
  wmi::PutInstance(wmi::kRootWmi, kSetHostTime, props);
}

void DeleteDriverInstances(const Controller& c) {
  std::wstring key = L".InstanceName=\"" + wmi::detail::EscapeKeyValue(InstanceNameOf(c.instancePath)) + L"\"";
  wmi::DeleteInstance(wmi::kRootWmi, kAdapterPrintf + key);
  wmi::DeleteInstance(wmi::kRootWmi, kSetHostTime + key);
}

bool Serves(const std::optional<std::wstring>& driver, const Controller& c) {
  return driver && NameEq(*driver, c.driverName);
}

std::optional<Controller> Find(const std::wstring& instancePath) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  for (const Controller& c : s.controllers)
    if (NameEq(c.instancePath, instancePath)) return c;
  return std::nullopt;
}

}  // namespace

std::wstring InstanceNameOf(const std::wstring& instancePath) { return instancePath + L"_0"; }

std::wstring AddScsiController(const std::wstring& instancePath, const std::wstring& driverName,
                               const wmi::Properties& extra) {
  Controller c{instancePath, Upper(instancePath), driverName};
  wmi::Properties props = {{L"DeviceID", Value::Str(c.deviceId)},
                           {L"PNPDeviceID", Value::Str(c.deviceId)},
                           {L"DriverName", Value::Str(driverName)},
                           {L"Name", Value::Str(L"RAID Controller")},
                           {L"Status", Value::Str(L"OK")}};
  props.insert(props.end(), extra.begin(), extra.end());
  std::optional<std::wstring> driver;
  {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    s.controllers.push_back(c);
    driver = s.driver;
  }
  wmi::PutInstance(wmi::kRootCimv2, L"Win32_SCSIController", props);
  if (Serves(driver, c)) PutDriverInstances(c);
  return c.deviceId;
}

bool RemoveScsiController(const std::wstring& instancePath) {
  std::optional<Controller> c = Find(instancePath);
  if (!c) return false;
  std::optional<std::wstring> driver;
  {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    for (size_t i = 0; i < s.controllers.size(); ++i)
      if (NameEq(s.controllers[i].instancePath, instancePath)) {
        s.controllers.erase(s.controllers.begin() + static_cast<long>(i));
        break;
      }
    driver = s.driver;
  }
  if (Serves(driver, *c)) DeleteDriverInstances(*c);
  wmi::DeleteInstance(wmi::kRootCimv2, L"Win32_SCSIController.DeviceID=\"" + wmi::detail::EscapeKeyValue(c->deviceId) + L"\"");
  return true;
}

std::vector<Controller> Controllers() {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.controllers;
}

void LoadRaidDriver(const std::wstring& driverName) {
  std::vector<Controller> served;
  {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.driver) return;
    s.driver = driverName;
    for (const Controller& c : s.controllers)
      if (Serves(s.driver, c)) served.push_back(c);
  }
  for (const wmi::ClassDef& def : DriverClasses()) wmi::DefineClass(wmi::kRootWmi, def);
  for (const Controller& c : served) PutDriverInstances(c);
}

void UnloadRaidDriver() {
  {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.driver) return;
    s.driver.reset();
  }
  // RemoveClass deletes each class's instances first, with their deletion events.
  for (const wmi::ClassDef& def : DriverClasses()) wmi::RemoveClass(wmi::kRootWmi, def.name);
}

bool RaidDriverLoaded() {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.driver.has_value();
}

FirmwareMessage Message(const std::wstring& instancePath, LONG level, LONG adapterNumber, const std::string& text) {
  FirmwareMessage m;
  m.instancePath = instancePath;
  m.level = level;
  m.adapterNumber = adapterNumber;
  m.bytes = Text(text);
  return m;
}

std::vector<BYTE> Text(const std::string& text) { return std::vector<BYTE>(text.begin(), text.end()); }

bool RaiseFirmwareMessage(const FirmwareMessage& m) {
  if (!RaidDriverLoaded()) return false;
  std::wstring instanceName = m.instanceName ? *m.instanceName : InstanceNameOf(m.instancePath);
  wmi::Properties printf = {{L"InstanceName", Value::Str(instanceName)},
                            {L"Active", Value::Bool(true)},
                            {L"AdapterNumber", Value::I4(m.adapterNumber)},
                            {L"Level", Value::I4(m.level)},
                            {L"Length", Value::I4(m.length ? *m.length : static_cast<LONG>(m.bytes.size()))},
                            {L"PrintfString", Value::Bytes(m.bytes)}};
  printf.insert(printf.end(), m.printfOverrides.begin(), m.printfOverrides.end());
  if (!wmi::PutInstance(wmi::kRootWmi, kAdapterPrintf, printf)) return false;
  wmi::Properties event = {{L"InstanceName", Value::Str(instanceName)}, {L"Active", Value::Bool(true)}};
  event.insert(event.end(), m.notificationOverrides.begin(), m.notificationOverrides.end());
  return wmi::RaiseEvent(wmi::kRootWmi, kAdapterPrintfNotification, event);
}

bool RaiseHostTimeRequest(const std::wstring& instancePath, const wmi::Properties& overrides) {
  wmi::Properties event = {{L"InstanceName", Value::Str(InstanceNameOf(instancePath))}, {L"Active", Value::Bool(true)}};
  event.insert(event.end(), overrides.begin(), overrides.end());
  return wmi::RaiseEvent(wmi::kRootWmi, kHostTimeRequest, event);
}

std::vector<SetAdapterTimeCall> SetAdapterTimeCalls() {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.calls;
}

void SetSetAdapterTimeResult(HRESULT hr) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  s.hrSetAdapterTime = hr;
}

void Reset() {
  {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    s.controllers.clear();
    s.driver.reset();
    s.calls.clear();
    s.hrSetAdapterTime = WBEM_S_NO_ERROR;
  }
  wmi::Reset();
}

}  // namespace ksim::machine
