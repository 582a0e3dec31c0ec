// A Windows critical section owned by an object, and a guard that holds one for a scope.
#pragma once

#include "common/Platform.h"

class CCriticalSection {
 public:
  CCriticalSection() { InitializeCriticalSection(&m_cs); }
  ~CCriticalSection() { DeleteCriticalSection(&m_cs); }
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Enter() { EnterCriticalSection(&m_cs); }
  void Leave() { LeaveCriticalSection(&m_cs); }
  CRITICAL_SECTION* Get() { return &m_cs; }

 private:
  CRITICAL_SECTION m_cs;
};

class CLockGuard {
 public:
  explicit CLockGuard(CRITICAL_SECTION* pcs) : m_pcs(pcs) { EnterCriticalSection(m_pcs); }
  explicit CLockGuard(CCriticalSection& cs) : CLockGuard(cs.Get()) {}
  ~CLockGuard() { LeaveCriticalSection(m_pcs); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  CRITICAL_SECTION* m_pcs;
};
