// The events of one query while WMI may hold more than one registration of it: a registration
// renewed before the old one is cancelled, or one whose cancellation WMI refused. WMI delivers an
// event to every registration that matches it, each a copy of its own; the one thing every copy
// shares is the event's TIME_CREATED, which WMI sets once for the event. So while a registration
// that is no longer the query's current one may still deliver, each event is let through once.
#pragma once

#include "common/ComTypes.h"
#include "common/Lock.h"
#include "common/Platform.h"

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

  static const size_t c_cSeen = 256;
  static const size_t c_cRetired = 8;

  LONG volatile m_lRef;
  LONG volatile m_lRetired;  // how many retired registrations are kept, for a check without the lock
  CCriticalSection m_cs;
  CComRef<CWbemSink> m_rgpRetired[c_cRetired];
  const CWbemSink* m_pCurrent;
  ULONGLONG m_rgullSeen[c_cSeen];  // the keys of the events let through lately, a ring
  size_t m_iNextSeen;
};
