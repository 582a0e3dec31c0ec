// The nothrow forms of operator new, which the product uses for every allocation, as a
// simulated call: "operator new" with the requested size in bytes as the selector. A fault
// makes the allocation fail (null), as a process out of memory would see it.
#include "internal/Sim.h"

#include <new>
#include <string>

namespace ksim::detail {
// Referenced from the simulated COM so that the linker always takes this file, also when a
// sanitizer runtime that comes first on the link line defines the same operators.
extern const int g_nNewFaultLinked = 1;
}  // namespace ksim::detail

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (ksim::detail::Enter("operator new", std::to_string(size))) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (ksim::detail::Enter("operator new", std::to_string(size))) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}
