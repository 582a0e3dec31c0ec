#include "sink/EventFilter.h"

#include "sink/WbemSink.h"

#include <utility>

namespace {

// A key of an event: its TIME_CREATED and its InstanceName, folded into 64 bits.
ULONGLONG Fold(ULONGLONG ullHash, const wchar_t* pwsz) {
  for (const wchar_t* p = pwsz; p && *p; ++p) ullHash = (ullHash ^ static_cast<ULONGLONG>(*p)) * 1099511628211ull;
  return (ullHash ^ 0xFFu) * 1099511628211ull;
}

}  // namespace

CEventFilter::CEventFilter() : m_lRef(1), m_lRetired(0), m_pCurrent(nullptr), m_rgullSeen(), m_iNextSeen(0) {}

ULONG CEventFilter::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_lRef)); }

ULONG CEventFilter::Release() {
  LONG lRef = InterlockedDecrement(&m_lRef);
  if (lRef == 0) delete this;
  return static_cast<ULONG>(lRef);
}

void CEventFilter::Retire(CWbemSink* pSink) {
  if (!pSink) return;
  CLockGuard lock(m_cs);
  PurgeLocked();
  for (auto& pRetired : m_rgpRetired) {
    if (pRetired.Get() == pSink) return;
    if (!pRetired) {
      pRetired = CComRef<CWbemSink>::Share(pSink);
      InterlockedIncrement(&m_lRetired);
      return;
    }
  }
  // More overlapping registrations than kept: the oldest gives way.
  m_rgpRetired[0] = CComRef<CWbemSink>::Share(pSink);
}

void CEventFilter::SetCurrent(const CWbemSink* pSink) {
  CLockGuard lock(m_cs);
  m_pCurrent = pSink;
}

void CEventFilter::PurgeLocked() {
  for (auto& pRetired : m_rgpRetired) {
    if (pRetired && pRetired->HasEnded() && !pRetired->IsDelivering()) {
      pRetired.Reset();
      InterlockedDecrement(&m_lRetired);
    }
  }
  if (InterlockedCompareExchange(&m_lRetired, 0, 0) == 0) {
    // Nothing overlaps any more: the keys seen meanwhile are of no further use.
    for (ULONGLONG& ull : m_rgullSeen) ull = 0;
    m_iNextSeen = 0;
  }
}

bool CEventFilter::Admit(const CWbemSink* pSink, IWbemClassObject* pEvent, BSTR bstrName) {
  if (InterlockedCompareExchange(&m_lRetired, 0, 0) == 0) return true;
  CVARIANT varTime;
  BSTR bstrTime = nullptr;
  const bool bTime = SUCCEEDED(pEvent->Get(L"TIME_CREATED", 0, varTime.Put(), nullptr, nullptr)) &&
                     SUCCEEDED(varTime.GetBSTR(&bstrTime)) && bstrTime && *bstrTime;
  CLockGuard lock(m_cs);
  PurgeLocked();
  if (InterlockedCompareExchange(&m_lRetired, 0, 0) == 0) return true;
  if (!bTime) return pSink == m_pCurrent || !m_pCurrent;
  const ULONGLONG ullKey = Fold(Fold(14695981039346656037ull, bstrTime), bstrName) | 1;
  for (ULONGLONG ull : m_rgullSeen)
    if (ull == ullKey) return false;
  m_rgullSeen[m_iNextSeen] = ullKey;
  m_iNextSeen = (m_iNextSeen + 1) % c_cSeen;
  return true;
}

void CEventFilter::Clear() {
  CComRef<CWbemSink> rgpRetired[c_cRetired];
  {
    CLockGuard lock(m_cs);
    for (size_t i = 0; i < c_cRetired; ++i) rgpRetired[i] = std::move(m_rgpRetired[i]);
    InterlockedExchange(&m_lRetired, 0);
    m_pCurrent = nullptr;
  }
}
