// The nothrow forms of operator new, which the product uses for every allocation, as a
// simulated call: "operator new" with the requested size in bytes as the selector. A fault
// makes the allocation fail (null), as a process out of memory would see it.
#include "internal/Sim.h"

#include <new>
#include <string>

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
