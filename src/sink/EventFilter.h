// The events of one query while WMI may hold more than one registration of it: a registration
// renewed before the old one is cancelled, or one whose cancellation WMI refused. WMI delivers an
// event to every registration that matches it, each a copy of its own; the one thing every copy
// shares is the event's TIME_CREATED, which WMI sets once for the event. So while a registration
// that is no longer the query's current one may still deliver, each event is let through once.
//
// A copy may come late: the current registration may deliver an event after the retired one that
// delivered it first has ended. So the filter goes on after the last retired registration has
// gone, until the current one delivers an event newer than every event a retired one delivered:
// WMI delivers to each registration in order, so every late copy has come by then.
#pragma once

#include "common/ComTypes.h"
#include "common/Lock.h"
#include "common/Platform.h"

#include <memory>

class CWbemSink;

class CEventFilter {
 public:
  CEventFilter();
  CEventFilter(const CEventFilter&) = delete;
  CEventFilter& operator=(const CEventFilter&) = delete;

  ULONG AddRef();
  ULONG Release();

  // pSink, a registration of the query, is no longer its current one but WMI may still deliver
  // to it: from now on until it has ended and delivers nothing more, events pass the filter.
  void Retire(CWbemSink* pSink);
  // The query's current registration (null for none): while registrations overlap, an event
  // without TIME_CREATED is handled when the current one delivers it, and when a retired one
  // delivers it only while no current registration exists.
  void SetCurrent(const CWbemSink* pSink);
  // Whether an event that pSink delivers is to be handled. Cheap while nothing overlaps.
  bool Admit(const CWbemSink* pSink, IWbemClassObject* pEvent, BSTR bstrName);
  // Lets go of every retired registration (they refer to the filter too): the query's
  // connection is closed.
  void Clear();

 private:
  ~CEventFilter() = default;
  // Under m_cs: lets go of retired registrations that have ended and deliver nothing more.
  void PurgeLocked();

  // Under m_cs: forgets the keys seen; the filter lets everything through until a registration
  // is retired again.
  void EndOverlapLocked();

  // More than the events the service holds at most, so that a late copy finds its key.
  static const size_t c_cSeen = 2048;
  static const size_t c_cRetired = 8;

  LONG volatile m_lRef;
  LONG volatile m_lRetired;  // how many retired registrations are kept, for a check without the lock
  LONG volatile m_lTail;     // no retired registration is left, but a late copy may still come
  CCriticalSection m_cs;
  CComRef<CWbemSink> m_rgpRetired[c_cRetired];
  const CWbemSink* m_pCurrent;
  std::unique_ptr<ULONGLONG[]> m_pullSeen;  // the keys of the events let through lately, a ring
  size_t m_iNextSeen;
  ULONGLONG m_ullNewestRetired;  // the newest TIME_CREATED a retired registration delivered
};
