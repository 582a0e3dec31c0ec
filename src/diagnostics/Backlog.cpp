// The records the event log refused: kept in order and written again as soon as it takes them.
//
// A controller's message and a host-time record are what the service exists for, so a record of
// either that the event log refuses (full, or the Eventlog service stopped) is kept, in order,
// in a bounded backlog: c_lBacklog records, each its source and text at their own length, so at
// most about 0.8 MB (1,024 records of a 255-character source and a 540-character text). The
// backlog is written, oldest first, before any later such record, and by the service thread's
// retries meanwhile (CEventLog::RetryBacklog: after 1 s, doubling up to 60 s; no retry while it
// is empty). What does not fit is counted, and so are the service's own records that the log
// refused (they are not kept: the log refuses them for the same reason, and they must not take
// the place of a controller's message); once the log takes a record again, one warning says
// what was lost and since when.
#include "diagnostics/EventLog.h"

#include "common/Handle.h"
#include "common/Lock.h"
#include "service/ServiceUtil.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

const LONG c_lBacklog = 1024;
const DWORD c_dwFirstRetryMs = 1000;
const DWORD c_dwLastRetryMs = 60000;

struct tHeldRecord {
  std::unique_ptr<char[]> pszSource;
  std::unique_ptr<char[]> pszText;
  WORD wType;
  DWORD dwEventID;
  tHeldRecord* pNext;
};

char* Copy(const char* psz) {
  const size_t cb = strlen(psz) + 1;
  char* pszCopy = new (std::nothrow) char[cb];
  if (pszCopy) memcpy(pszCopy, psz, cb);
  return pszCopy;
}

// Writes one record now; false with the Windows error when the log refused it.
bool Report(const char* pszSource, WORD wType, DWORD dwEventID, const char* pszText, DWORD* pdwError) {
  CEventSource hSource(RegisterEventSourceA(nullptr, pszSource));
  if (!hSource) {
    *pdwError = GetLastError();
    return false;
  }
  LPCSTR rgpszStrings[] = {pszText};
  if (ReportEventA(hSource.Get(), wType, 0, dwEventID, nullptr, 1, 0, rgpszStrings, nullptr)) return true;
  *pdwError = GetLastError();
  return false;
}

class CBacklog {
 public:
  // One kept record: written now, or after the records held before it; the error of the log's
  // refusal, or 0.
  DWORD Write(CEventLog::EKept kind, const char* pszSource, WORD wType, DWORD dwEventID, const char* pszText);
  // A record of the service's own that the log refused (not kept).
  void OwnRecordRefused(DWORD dwError);
  // A record of the service's own was written: the log takes records again.
  void OwnRecordWritten();
  // The service thread's retry: writes what is held when due; how long until the next is due.
  DWORD Retry(bool bNow);
  LONG Held() { return InterlockedCompareExchange(&m_lHeld, 0, 0); }
  void Reset();

 private:
  // Under m_cs: writes the held records, oldest first, until the log refuses one; true when none
  // is left, otherwise the refusal's error in *pdwError.
  bool FlushLocked(DWORD* pdwError);
  // Under m_cs: the log refused a record with dwError.
  void RefusedLocked(DWORD dwError);
  // Under m_cs: the log took a record; says once what was lost meanwhile.
  void AcceptedLocked();
  void Hold(CEventLog::EKept kind, const char* pszSource, WORD wType, DWORD dwEventID, const char* pszText);

  CCriticalSection m_cs;
  tHeldRecord* m_pHead = nullptr;
  tHeldRecord* m_pTail = nullptr;
  LONG volatile m_lHeld = 0;
  // Since the log began to refuse: when, why, and what was lost.
  bool m_bRefusing = false;
  SYSTEMTIME m_stSince = {};
  DWORD m_dwError = 0;
  LONG m_lLostMessages = 0, m_lLostHostTimes = 0, m_lLostOwn = 0;
  bool m_bArmed = false;
  DWORD m_dwRetryDue = 0, m_dwRetryDelay = c_dwFirstRetryMs;
};

CBacklog& Backlog() {
  static CBacklog* s_pBacklog = new CBacklog;  // never destroyed: any thread may write a record
  return *s_pBacklog;
}

void CBacklog::RefusedLocked(DWORD dwError) {
  if (!m_bRefusing) {
    m_bRefusing = true;
    GetLocalTime(&m_stSince);
    m_dwError = dwError;
  }
}

void CBacklog::AcceptedLocked() {
  if (!m_bRefusing) return;
  m_bRefusing = false;
  if (m_lLostMessages + m_lLostHostTimes + m_lLostOwn == 0) return;
  char szText[400];
  snprintf(szText, sizeof(szText),
           "From %04u-%02u-%02u %02u:%02u:%02u the event log refused records (error %lu). %ld controller "
           "message(s) and %ld host-time record(s) did not fit in the backlog of %ld records and are lost; %ld "
           "record(s) of the service's own are lost too.\r\n",
           m_stSince.wYear, m_stSince.wMonth, m_stSince.wDay, m_stSince.wHour, m_stSince.wMinute, m_stSince.wSecond,
           static_cast<unsigned long>(m_dwError), static_cast<long>(m_lLostMessages), static_cast<long>(m_lLostHostTimes),
           static_cast<long>(c_lBacklog), static_cast<long>(m_lLostOwn));
  DWORD dwError = 0;
  if (Report(CWMIServiceUtil::GetServiceName(), EVENTLOG_WARNING_TYPE, c_dwMsgRecordsLost, szText, &dwError)) {
    m_lLostMessages = m_lLostHostTimes = m_lLostOwn = 0;
  } else {
    RefusedLocked(dwError);  // said at the next record the log takes
  }
}

bool CBacklog::FlushLocked(DWORD* pdwError) {
  while (tHeldRecord* pRecord = m_pHead) {
    if (!Report(pRecord->pszSource.get(), pRecord->wType, pRecord->dwEventID, pRecord->pszText.get(), pdwError)) {
      RefusedLocked(*pdwError);
      return false;
    }
    if (pRecord->dwEventID != c_dwMsgServiceInfo) CountMessageLogged();
    m_pHead = pRecord->pNext;
    if (!m_pHead) m_pTail = nullptr;
    delete pRecord;
    InterlockedDecrement(&m_lHeld);
    AcceptedLocked();
  }
  m_bArmed = false;
  m_dwRetryDelay = c_dwFirstRetryMs;
  return true;
}

void CBacklog::Hold(CEventLog::EKept kind, const char* pszSource, WORD wType, DWORD dwEventID, const char* pszText) {
  tHeldRecord* pRecord = nullptr;
  if (InterlockedCompareExchange(&m_lHeld, 0, 0) < c_lBacklog) {
    pRecord = new (std::nothrow) tHeldRecord{std::unique_ptr<char[]>(Copy(pszSource)),
                                             std::unique_ptr<char[]>(Copy(pszText)), wType, dwEventID, nullptr};
    if (pRecord && (!pRecord->pszSource || !pRecord->pszText)) {
      delete pRecord;
      pRecord = nullptr;
    }
  }
  if (!pRecord) {
    // What does not fit is lost, and counted.
    ++(kind == CEventLog::kMessage ? m_lLostMessages : m_lLostHostTimes);
    CEventLog::CountLost();
    return;
  }
  (m_pTail ? m_pTail->pNext : m_pHead) = pRecord;
  m_pTail = pRecord;
  if (InterlockedIncrement(&m_lHeld) == 1) {
    m_bArmed = true;
    m_dwRetryDelay = c_dwFirstRetryMs;
    m_dwRetryDue = GetTickCount() + m_dwRetryDelay;
    CWMIServiceUtil::WakeServiceThread();
  }
}

DWORD CBacklog::Write(CEventLog::EKept kind, const char* pszSource, WORD wType, DWORD dwEventID, const char* pszText) {
  DWORD dwError = 0;
  // Nothing held: written at once, without the lock.
  if (InterlockedCompareExchange(&m_lHeld, 0, 0) == 0 && Report(pszSource, wType, dwEventID, pszText, &dwError)) {
    if (kind == CEventLog::kMessage) CountMessageLogged();
    CLockGuard lock(m_cs);
    AcceptedLocked();
    return 0;
  }
  // Records are held (or the log refused this one): it comes after them, and is written now only
  // once they are.
  CLockGuard lock(m_cs);
  if (FlushLocked(&dwError)) {
    if (Report(pszSource, wType, dwEventID, pszText, &dwError)) {
      if (kind == CEventLog::kMessage) CountMessageLogged();
      AcceptedLocked();
      return 0;
    }
    RefusedLocked(dwError);
  }
  Hold(kind, pszSource, wType, dwEventID, pszText);
  return dwError;
}

void CBacklog::OwnRecordRefused(DWORD dwError) {
  CLockGuard lock(m_cs);
  RefusedLocked(dwError);
  ++m_lLostOwn;
}

void CBacklog::OwnRecordWritten() {
  CLockGuard lock(m_cs);
  AcceptedLocked();
}

DWORD CBacklog::Retry(bool bNow) {
  CLockGuard lock(m_cs);
  if (!m_pHead) return INFINITE;
  const DWORD dwNow = GetTickCount();
  if (bNow || static_cast<LONG>(dwNow - m_dwRetryDue) >= 0) {
    DWORD dwError = 0;
    if (FlushLocked(&dwError)) return INFINITE;
    m_dwRetryDelay = m_dwRetryDelay >= c_dwLastRetryMs / 2 ? c_dwLastRetryMs : m_dwRetryDelay * 2;
    m_dwRetryDue = dwNow + m_dwRetryDelay;
  }
  const LONG lLeft = static_cast<LONG>(m_dwRetryDue - dwNow);
  return lLeft > 0 ? static_cast<DWORD>(lLeft) : 0;
}

void CBacklog::Reset() {
  CLockGuard lock(m_cs);
  while (tHeldRecord* pRecord = m_pHead) {
    m_pHead = pRecord->pNext;
    delete pRecord;
  }
  m_pTail = nullptr;
  InterlockedExchange(&m_lHeld, 0);
  m_bRefusing = false;
  m_lLostMessages = m_lLostHostTimes = m_lLostOwn = 0;
  m_bArmed = false;
  m_dwRetryDelay = c_dwFirstRetryMs;
}

}  // namespace

DWORD CEventLog::WriteKept(EKept kind, const char* pszSource, WORD wType, DWORD dwEventID, const char* pszText) {
  return Backlog().Write(kind, pszSource, wType, dwEventID, pszText);
}

void CEventLog::PrintfKept(EKept kind, WORD wType, DWORD dwEventID, const char* pszFormat, ...) {
  char szText[c_cchRecord + 1];
  va_list args;
  va_start(args, pszFormat);
  FormatRecord(szText, pszFormat, args);
  va_end(args);
  WriteKept(kind, CWMIServiceUtil::GetServiceName(), wType, dwEventID, szText);
}

DWORD CEventLog::RetryBacklog() { return Backlog().Retry(false); }

bool CEventLog::FlushBacklog() { return Backlog().Retry(true) == INFINITE; }

LONG CEventLog::BacklogSize() { return Backlog().Held(); }

void CEventLog::ResetBacklog() { Backlog().Reset(); }

void CEventLog::OwnRecordRefused(DWORD dwError) { Backlog().OwnRecordRefused(dwError); }

void CEventLog::OwnRecordWritten() { Backlog().OwnRecordWritten(); }
