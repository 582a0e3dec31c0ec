// The non-throwing operator new, which the product uses for every allocation, made fault-able:
// the call name is "operator new" and the selector the size in bytes. The memory itself comes
// from the ordinary operator new, so that ordinary deletes (and the sanitizers) match it.
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
