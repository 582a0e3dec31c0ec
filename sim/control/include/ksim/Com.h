// The simulated COM runtime as tests see it: process security and apartments.
//
// Live objects: LiveCount("bstrs"), LiveCount("safearrays"), LiveCount("com_objects") and, per
// kind, "IWbemLocator", "IWbemServices", "IWbemClassObject", "IEnumWbemClassObject".
// Faults: "CoInitializeEx", "CoInitializeSecurity", "CoCreateInstance" (selector "WbemLocator"
// for CLSID_WbemLocator), "SysAllocString"/"SysAllocStringLen" (selector: the text), "VariantCopy",
// "SafeArrayCreate", "SafeArrayGetElement" (selector: the index), "VariantClear", "operator new"
// (the product's nothrow allocations; selector: the size in bytes). A fault on a call with an
// out-pointer returns the fault's result and leaves the pointer null, so a fault whose result
// is S_OK means "succeeded but gave nothing" (kNullResult names that intent; the variant is not
// needed).
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
