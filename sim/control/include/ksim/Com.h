// The simulated COM runtime as tests see it: process security and apartments.
//
// Live objects: LiveCount("bstrs"), LiveCount("safearrays"), LiveCount("com_objects") and, per
// kind, "IWbemLocator", "IWbemServices", "IWbemClassObject", "IEnumWbemClassObject".
// Faults: "CoInitializeEx", "CoInitializeSecurity", "CoCreateInstance" (selector "WbemLocator"
// for CLSID_WbemLocator), "SysAllocString"/"SysAllocStringLen" (selector: the text), "VariantCopy",
// "SafeArrayCreate", "SafeArrayGetElement" (selector: the index). A fault with variant 1
// (ksim::com::kNullResult) on a call with an out-pointer returns the fault's result with a null
// pointer, for "succeeded but gave nothing".
#pragma once

#include <simwin/objbase.h>

#include <optional>

namespace ksim::com {

constexpr int kNullResult = 1;

struct SecuritySettings {
  LONG cAuthSvc;
  DWORD dwAuthnLevel;
  DWORD dwImpLevel;
  DWORD dwCapabilities;
  bool bNullDescriptor;
};

// What CoInitializeSecurity set for the process, if it has been called since COM last started.
std::optional<SecuritySettings> Security();

// Number of threads currently initialised in the multithreaded / single-threaded apartments.
long MtaThreads();
long StaThreads();

}  // namespace ksim::com
