// The kernel handle table of the simulated host.
#pragma once

#include <simwin/windows.h>

#include <memory>

namespace ksim::detail {

struct KernelObject {
  virtual ~KernelObject() = default;
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
bool RemoveHandle(HANDLE handle);

}  // namespace ksim::detail
