#include "common/Rundown.h"

CRundown& CRundown::Service() {
  // Never destroyed: a thread still ending may use it while the process exits.
  static CRundown* s_pRundown = new CRundown;
  return *s_pRundown;
}

CRundown::CRundown()
    : m_dwRun(1),
      m_lActive(0),
      m_bClosed(false),
      m_hClosed(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_hDrained(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

void CRundown::Open() {
  CLockGuard lock(m_cs);
  ++m_dwRun;
  m_lActive = 0;
  m_bClosed = false;
  if (m_hClosed) ResetEvent(m_hClosed.Get());
  if (m_hDrained) ResetEvent(m_hDrained.Get());
}

bool CRundown::TryEnter(DWORD* pdwTicket) {
  CLockGuard lock(m_cs);
  if (m_bClosed) return false;
  ++m_lActive;
  *pdwTicket = m_dwRun;
  return true;
}

// The events are set after the lock is let go: a thread that the end of the process cuts in the
// call then holds nothing that the next run needs.
void CRundown::Exit(DWORD dwTicket) {
  bool bDrained;
  {
    CLockGuard lock(m_cs);
    if (dwTicket != m_dwRun || m_lActive <= 0) return;
    bDrained = --m_lActive == 0 && m_bClosed;
  }
  if (bDrained && m_hDrained) SetEvent(m_hDrained.Get());
}

bool CRundown::Close() {
  bool bDrained;
  {
    CLockGuard lock(m_cs);
    if (m_bClosed) return false;
    m_bClosed = true;
    bDrained = m_lActive == 0;
  }
  if (m_hClosed) SetEvent(m_hClosed.Get());
  if (bDrained && m_hDrained) SetEvent(m_hDrained.Get());
  return true;
}

bool CRundown::IsClosed() {
  CLockGuard lock(m_cs);
  return m_bClosed;
}

bool CRundown::WaitDrained(DWORD dwMilliseconds) {
  if (m_hDrained) return WaitForSingleObject(m_hDrained.Get(), dwMilliseconds) == WAIT_OBJECT_0;
  // Without its event the count still tells, at this moment.
  CLockGuard lock(m_cs);
  return m_bClosed && m_lActive == 0;
}
