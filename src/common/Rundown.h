// The one rundown of the running service: it admits the work of a run (the WMI calls of the
// query operations and the events handed to the workers), refuses new work once the stop has
// begun, and lets the stop wait, bounded, for the work in hand to end.
#pragma once

#include "common/Handle.h"
#include "common/Lock.h"
#include "common/Platform.h"

class CRundown {
 public:
  // The service's own, process-wide; open from the start of the process.
  static CRundown& Service();

  // A new run of the service in this process: admits work again. Work still counted from an
  // earlier run that never ended (a call that hung through that run's stop) no longer counts.
  void Open();
  // Admits one piece of work; false once the stop has begun. Every true is matched by one Exit
  // with the ticket it gave.
  bool TryEnter(DWORD* pdwTicket);
  void Exit(DWORD dwTicket);
  // The stop begins: no new work from now on, and the closed event is set. True only for the
  // call that began it.
  bool Close();
  bool IsClosed();
  // Waits until the work in hand has ended; false when dwMilliseconds passed first.
  bool WaitDrained(DWORD dwMilliseconds);
  // Set from the moment the stop begins until the next Open: the waits of a run (the start
  // delay, the retries, the service thread's own wait) end with it.
  HANDLE ClosedEvent() const { return m_hClosed.Get(); }

 private:
  CRundown();
  CRundown(const CRundown&) = delete;
  CRundown& operator=(const CRundown&) = delete;

  CCriticalSection m_cs;
  DWORD m_dwRun;      // the run that tickets belong to
  LONG m_lActive;     // work of this run in hand
  bool m_bClosed;
  CKernelHandle m_hClosed;   // manual reset: set while closed
  CKernelHandle m_hDrained;  // manual reset: set while closed and nothing is in hand
};

// One piece of the run's work for a scope; empty (false) once the stop has begun.
class CRundownRef {
 public:
  CRundownRef() : m_bEntered(CRundown::Service().TryEnter(&m_dwTicket)) {}
  ~CRundownRef() {
    if (m_bEntered) CRundown::Service().Exit(m_dwTicket);
  }
  CRundownRef(const CRundownRef&) = delete;
  CRundownRef& operator=(const CRundownRef&) = delete;
  explicit operator bool() const { return m_bEntered; }

 private:
  DWORD m_dwTicket = 0;
  bool m_bEntered;
};
