#include "sink/EventFilter.h"

#include "sink/WbemSink.h"

#include <utility>

namespace {

// A key of an event: its TIME_CREATED and its InstanceName, folded into 64 bits.
ULONGLONG Fold(ULONGLONG ullHash, const wchar_t* pwsz) {
  for (const wchar_t* p = pwsz; p && *p; ++p) ullHash = (ullHash ^ static_cast<ULONGLONG>(*p)) * 1099511628211ull;
  return (ullHash ^ 0xFFu) * 1099511628211ull;
}

// A TIME_CREATED: a count of 100-nanosecond intervals, in decimal; 0 when it is not one.
ULONGLONG TimeValue(const wchar_t* pwsz) {
  ULONGLONG ull = 0;
  for (const wchar_t* p = pwsz; *p; ++p) {
    if (*p < L'0' || *p > L'9' || ull > (~0ull - 9) / 10) return 0;
    ull = ull * 10 + static_cast<ULONGLONG>(*p - L'0');
  }
  return ull;
}

}  // namespace

CEventFilter::CEventFilter()
    : m_lRef(1), m_lRetired(0), m_lTail(0), m_pCurrent(nullptr), m_iNextSeen(0), m_ullNewestRetired(0) {}

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
  if (!m_pullSeen) {
    // Without room for the keys every event passes: a copy may be handled twice then.
    m_pullSeen.reset(new (std::nothrow) ULONGLONG[c_cSeen]());
    if (!m_pullSeen) return;
    m_iNextSeen = 0;
  }
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
  // No retired registration is left: the current one may still deliver late copies of what
  // they delivered.
  if (InterlockedCompareExchange(&m_lRetired, 0, 0) == 0 && m_pullSeen && InterlockedExchange(&m_lTail, 1) == 0 &&
      m_ullNewestRetired == 0)
    EndOverlapLocked();
}

void CEventFilter::EndOverlapLocked() {
  m_pullSeen.reset();
  m_iNextSeen = 0;
  m_ullNewestRetired = 0;
  InterlockedExchange(&m_lTail, 0);
}

bool CEventFilter::Admit(const CWbemSink* pSink, IWbemClassObject* pEvent, BSTR bstrName) {
  if (InterlockedCompareExchange(&m_lRetired, 0, 0) == 0 && InterlockedCompareExchange(&m_lTail, 0, 0) == 0)
    return true;
  CVARIANT varTime;
  BSTR bstrTime = nullptr;
  const bool bTime = SUCCEEDED(pEvent->Get(L"TIME_CREATED", 0, varTime.Put(), nullptr, nullptr)) &&
                     SUCCEEDED(varTime.GetBSTR(&bstrTime)) && bstrTime && *bstrTime;
  CLockGuard lock(m_cs);
  PurgeLocked();
  if (!m_pullSeen) return true;
  const bool bOverlap = InterlockedCompareExchange(&m_lRetired, 0, 0) != 0;
  if (!bTime) return !bOverlap || pSink == m_pCurrent || !m_pCurrent;
  const ULONGLONG ullTime = TimeValue(bstrTime);
  bool bRetired = false;
  for (const auto& pRetired : m_rgpRetired) bRetired = bRetired || pRetired.Get() == pSink;
  if (bRetired && ullTime > m_ullNewestRetired) m_ullNewestRetired = ullTime;
  if (!bOverlap && pSink == m_pCurrent && ullTime > m_ullNewestRetired) {
    // Newer than anything a retired registration delivered: every late copy has come.
    EndOverlapLocked();
    return true;
  }
  const ULONGLONG ullKey = Fold(Fold(14695981039346656037ull, bstrTime), bstrName) | 1;
  for (size_t i = 0; i < c_cSeen; ++i)
    if (m_pullSeen[i] == ullKey) return false;
  m_pullSeen[m_iNextSeen] = ullKey;
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
    EndOverlapLocked();
  }
}
