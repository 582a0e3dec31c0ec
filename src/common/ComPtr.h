// An owning pointer to one COM interface reference.
#pragma once

#include "common/Platform.h"

template <typename T>
class TComPtr {
 public:
  TComPtr() = default;
  // Adopts a reference the caller already owns.
  explicit TComPtr(T* p) : m_p(p) {}
  ~TComPtr() { Reset(); }
  TComPtr(const TComPtr&) = delete;
  TComPtr& operator=(const TComPtr&) = delete;
  TComPtr(TComPtr&& other) noexcept : m_p(other.Detach()) {}
  TComPtr& operator=(TComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      m_p = other.Detach();
    }
    return *this;
  }

  T* Get() const { return m_p; }
  T* operator->() const { return m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  // Releases the held reference and hands out the address for a call to fill.
  T** Put() {
    Reset();
    return &m_p;
  }
  T* Detach() {
    T* p = m_p;
    m_p = nullptr;
    return p;
  }
  void Reset() {
    if (m_p) {
      T* p = m_p;
      m_p = nullptr;
      p->Release();
    }
  }

 private:
  T* m_p = nullptr;
};
