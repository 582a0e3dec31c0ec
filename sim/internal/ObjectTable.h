// Opaque handle values for one family of simulated objects (service-manager handles, registry
// keys, database locks). Every family draws its values from a range of its own, far from the
// kernel's, so a handle of one family is never taken for another's: CloseHandle on an SC_HANDLE
// fails as it does on Windows.
#pragma once

#include "internal/Sim.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace ksim::detail {

template <typename T>
class ObjectTable {
 public:
  // liveKind names the counter (ksim::LiveCount) that follows the open handles.
  ObjectTable(uintptr_t base, const char* liveKind) : m_next(base), m_liveKind(liveKind) {}

  uintptr_t Insert(std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> guard(m_lock);
    uintptr_t value = m_next;
    m_next += 4;
    m_objects.emplace(value, std::move(object));
    AddLive(m_liveKind, 1);
    return value;
  }

  std::shared_ptr<T> Lookup(uintptr_t value) const {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_objects.find(value);
    return it == m_objects.end() ? nullptr : it->second;
  }

  // Takes the object out of the table; null when the value names none. The caller releases
  // the object outside its own locks.
  std::shared_ptr<T> Remove(uintptr_t value) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_objects.find(value);
    if (it == m_objects.end()) return nullptr;
    std::shared_ptr<T> object = std::move(it->second);
    m_objects.erase(it);
    AddLive(m_liveKind, -1);
    return object;
  }

 private:
  mutable std::mutex m_lock;
  uintptr_t m_next;
  const char* m_liveKind;
  std::map<uintptr_t, std::shared_ptr<T>> m_objects;
};

}  // namespace ksim::detail
