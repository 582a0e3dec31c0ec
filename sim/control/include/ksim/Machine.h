// The scriptable machine: SCSI controllers that come and go, and the RAID driver with its WMI
// classes, firmware messages and host-time requests. Every change shows in the simulated WMI
// (ksim/Wmi.h) with its class and instance events.
//
// The driver's classes in ROOT\WMI (keys and types as the service relies on them):
//   Talvenix_AdapterPrintf              InstanceName (string, key), Active (boolean),
//                                       AdapterNumber, Level, Length (uint32), PrintfString (uint8[])
//   Talvenix_AdapterPrintfNotification  event (WMIEvent): InstanceName (string), Active (boolean)
//   Talvenix_HostTimeRequest            event (WMIEvent): InstanceName (string), Active (boolean)
//   Talvenix_SetHostTime                InstanceName (string, key), Active (boolean);
//                                       method SetAdapterTime([in] sint32 HostTime)
// While the driver is loaded, each controller whose DriverName is the driver's name has one
// Talvenix_AdapterPrintf and one Talvenix_SetHostTime instance, keyed by its InstanceName: the
// device instance path in its original case followed by "_0".
#pragma once

#include <ksim/Wmi.h>

#include <optional>
#include <string>
#include <vector>

namespace ksim::machine {

extern const wchar_t kAdapterPrintf[];
extern const wchar_t kAdapterPrintfNotification[];
extern const wchar_t kHostTimeRequest[];
extern const wchar_t kSetHostTime[];

struct Controller {
  std::wstring instancePath;  // original case
  std::wstring deviceId;      // Win32_SCSIController.DeviceID: the path in upper case
  std::wstring driverName;
};

// Adds a controller and returns its DeviceID. extra sets, replaces or (with std::nullopt) omits
// properties of its Win32_SCSIController instance, for odd controllers.
std::wstring AddScsiController(const std::wstring& instancePath, const std::wstring& driverName,
                               const wmi::Properties& extra = {});
// Removes the controller (path compared without regard to case), its driver instances first.
bool RemoveScsiController(const std::wstring& instancePath);
std::vector<Controller> Controllers();

// The InstanceName of a controller's driver objects: instancePath + "_0".
std::wstring InstanceNameOf(const std::wstring& instancePath);

// Loads the driver: its four classes, then the instances of its controllers.
void LoadRaidDriver(const std::wstring& driverName = L"velk4");
// Unloads it: the instances, then the classes (see ksim::wmi::SetClassRemoval).
void UnloadRaidDriver();
bool RaidDriverLoaded();

// A firmware message: the driver stores it in the controller's Talvenix_AdapterPrintf instance,
// then raises Talvenix_AdapterPrintfNotification.
struct FirmwareMessage {
  std::wstring instancePath;
  LONG level = 20;
  LONG adapterNumber = 0;
  std::vector<BYTE> bytes;
  std::optional<LONG> length;              // default: the number of bytes
  std::optional<std::wstring> instanceName;  // default: InstanceNameOf(instancePath)
  wmi::Properties printfOverrides;         // applied to the Talvenix_AdapterPrintf instance
  wmi::Properties notificationOverrides;   // applied to the event
};
bool RaiseFirmwareMessage(const FirmwareMessage& message);
// A plain message of a narrow text.
FirmwareMessage Message(const std::wstring& instancePath, LONG level, LONG adapterNumber, const std::string& text);
std::vector<BYTE> Text(const std::string& text);  // the bytes of a narrow text

// A host-time request of the controller; overrides are applied to the event.
bool RaiseHostTimeRequest(const std::wstring& instancePath, const wmi::Properties& overrides = {});

// Every SetAdapterTime call, in order.
struct SetAdapterTimeCall {
  std::wstring objectPath;    // as passed to ExecMethod
  std::wstring instanceName;  // of the target instance
  std::optional<LONG> hostTime;
  VARTYPE hostTimeType;
};
std::vector<SetAdapterTimeCall> SetAdapterTimeCalls();
// What SetAdapterTime returns (default WBEM_S_NO_ERROR).
void SetSetAdapterTimeResult(HRESULT hr);

// No controllers, no driver, no recorded calls; also resets the simulated WMI.
void Reset();

}  // namespace ksim::machine
