// The table of the machine's SCSI controllers (Win32_SCSIController) and its lookups.
//
// Tables are reference-counted. The publication in s_pAdapterInfoArray holds one reference, and
// every reader takes its own for as long as it reads, so a rescan or the final delete never
// frees a table under a reader. Taking a reader's reference (load the pointer, count it) and
// exchanging the pointer exclude each other through a lock that is held for a few instructions
// only; building a table happens outside it.
#include "adapters/AdapterInfo.h"
#include "common/ComTypes.h"
#include "common/Lock.h"
#include "common/Text.h"
#include "diagnostics/EventLog.h"

#include <cwchar>
#include <memory>
#include <new>

tAdapterInfoArray* volatile CAdapterInfo::s_pAdapterInfoArray;

namespace {

const LONG c_lReadTimeout = 2000;  // ms for each IEnumWbemClassObject::Next
// How many times one Next may time out in a row before the enumeration is given up: about 30 s.
const int c_nReadAttempts = 15;
const size_t c_cchNameCopy = 256;  // a driver name handed out without a pinned table

// GetDriverNamebyIndex's copy of a name, which no rescan can free.
thread_local wchar_t t_wszDriverName[c_cchNameCopy + 1];

// Table builds begun since the process started.
LONG volatile s_lScansBegun;
// Whether the last build completed: one whose enumeration timed out leaves the published table
// as it was and is made again later.
LONG volatile s_lComplete = 1;

ErrorCode TimedOut() {
  CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                   "The enumeration of Win32_SCSIController did not complete in 30 s; the adapter table is built "
                   "again later.\r\n");
  return ecTimeout;
}

// Never destroyed: readers on other threads may still take a table while the process exits.
CCriticalSection& SwapLock() {
  static CCriticalSection* s_pLock = new CCriticalSection;
  return *s_pLock;
}

// Held across a whole build and its publication: builds run one at a time, so that a table
// enumerated earlier never replaces one enumerated later. Taken before SwapLock, never after.
CCriticalSection& BuildLock() {
  static CCriticalSection* s_pLock = new CCriticalSection;
  return *s_pLock;
}

void FreeTable(tAdapterInfoArray* pTable) {
  if (pTable->pAdapterInfo) {
    for (DWORD i = 0; i < pTable->dwCount; ++i) {
      delete[] pTable->pAdapterInfo[i].pwszDeviceID;
      delete[] pTable->pAdapterInfo[i].pwszDriverName;
    }
    delete[] pTable->pAdapterInfo;
  }
  delete pTable;
}

void ReleaseTableRef(tAdapterInfoArray* pTable) {
  if (pTable && InterlockedDecrement(&pTable->lRef) == 0) FreeTable(pTable);
}

// An interlocked read of the published pointer: a rescan may exchange it at the same moment.
tAdapterInfoArray* LoadTable(tAdapterInfoArray* volatile* ppSlot) {
  return static_cast<tAdapterInfoArray*>(
      InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(ppSlot), nullptr, nullptr));
}

// One more reference to the published table, or null with no table.
tAdapterInfoArray* AcquireSlot(tAdapterInfoArray* volatile* ppSlot) {
  CLockGuard lock(SwapLock());
  tAdapterInfoArray* pTable = LoadTable(ppSlot);
  if (pTable) InterlockedIncrement(&pTable->lRef);
  return pTable;
}

tAdapterInfoArray* ExchangeTable(tAdapterInfoArray* volatile* ppSlot, tAdapterInfoArray* pNew) {
  CLockGuard lock(SwapLock());
  return static_cast<tAdapterInfoArray*>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(ppSlot), pNew));
}

// The table one reader operation reads: its own reference to the current one.
class CTableUse {
 public:
  explicit CTableUse(tAdapterInfoArray* volatile* ppSlot) : m_pTable(AcquireSlot(ppSlot)) {}
  ~CTableUse() { ReleaseTableRef(m_pTable); }
  CTableUse(const CTableUse&) = delete;
  CTableUse& operator=(const CTableUse&) = delete;
  const tAdapterInfoArray* operator->() const { return m_pTable; }
  explicit operator bool() const { return m_pTable != nullptr; }

 private:
  tAdapterInfoArray* m_pTable;
};

// The index of the first entry whose DeviceID equals pwszDeviceID, or c_wNoAdapter.
WORD Search(const tAdapterInfoArray* pTable, const wchar_t* pwszDeviceID) {
  for (DWORD i = 0; pTable && pwszDeviceID && i < pTable->dwCount && i < c_wNoAdapter; ++i)
    if (WideEqualNoCaseAscii(pTable->pAdapterInfo[i].pwszDeviceID, pwszDeviceID)) return static_cast<WORD>(i);
  return c_wNoAdapter;
}

void NarrowDriverName(const tAdapterInfoArray* pTable, WORD wIndex, char (&szDriver)[256]) {
  const wchar_t* pwszName = pTable && wIndex < pTable->dwCount ? pTable->pAdapterInfo[wIndex].pwszDriverName : nullptr;
  NarrowWideName(pwszName, szDriver, sizeof(szDriver));
}

// A private copy of a VT_BSTR value; any other type gives no text. False only without memory.
bool CopyText(const CVARIANT& var, wchar_t** ppwsz) {
  BSTR bstr = nullptr;
  if (FAILED(var.GetBSTR(&bstr))) return true;
  const size_t cch = bstr ? wcslen(bstr) : 0;
  wchar_t* pwsz = new (std::nothrow) wchar_t[cch + 1];
  if (!pwsz) return false;
  if (cch) wmemcpy(pwsz, bstr, cch);
  pwsz[cch] = L'\0';
  *ppwsz = pwsz;
  return true;
}

// One object of the enumeration: fEnd at its end (fewer than one object); with one object it
// checks the call's result and the pointer, logging a failure under the caller's name. A Next
// that timed out (WBEM_S_TIMEDOUT) says that WMI has not finished: it is asked again, about
// 30 s in all, and then the enumeration did not complete (fTimedOut).
enum EFetch { fEnd, fObject, fFailed, fTimedOut };
EFetch FetchOne(IEnumWbemClassObject* pEnum, const char* pszCaller, CComRef<IWbemClassObject>* pObject) {
  ULONG uReturned = 0;
  HRESULT hr = WBEM_S_TIMEDOUT;
  for (int nAttempt = 0; nAttempt < c_nReadAttempts && hr == WBEM_S_TIMEDOUT && uReturned == 0; ++nAttempt)
    hr = pEnum->Next(c_lReadTimeout, 1, pObject->Put(), &uReturned);
  if (uReturned != 1) {
    pObject->Reset();
    return hr == WBEM_S_TIMEDOUT ? fTimedOut : fEnd;
  }
  if (FAILED(hr)) {
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                      "%s(): Failed to get an instance of Class: Win32_SCSIController. Error: %s(0x%08x)\n", pszCaller,
                      CError::ErrorString(hr), static_cast<unsigned>(hr));
    pObject->Reset();
    return fFailed;
  }
  if (!*pObject) {
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                      "%s(): Failed to get an instance of Class: Win32_SCSIController. pClassObject = NULL\n", pszCaller);
    return fFailed;
  }
  return fObject;
}

// Reads one string property into *ppwsz; the error it remembers, or ecNoError.
ErrorCode ReadText(IWbemClassObject* pObject, const wchar_t* pwszName, const char* pszName, wchar_t** ppwsz) {
  CVARIANT var;
  HRESULT hr = pObject->Get(pwszName, 0, var.Put(), nullptr, nullptr);
  if (FAILED(hr)) {
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                      "SetAdapterInfo(): Failed to get %s from Win32_SCSIController. Error: %s(0x%08x)\n", pszName,
                      CError::ErrorString(hr), static_cast<unsigned>(hr));
    return ecWbemError;
  }
  return CopyText(var, ppwsz) ? ecNoError : ecOutOfMemory;
}

}  // namespace

ErrorCode CAdapterInfo::CountChannel(IEnumWbemClassObject* pEnum, unsigned long* pdwCount) {
  if (!pEnum || !pdwCount) return ecBadParameter;
  unsigned long dwCount = 0;
  for (;;) {
    CComRef<IWbemClassObject> pObject;
    EFetch fetch = FetchOne(pEnum, "CountChannel", &pObject);
    if (fetch == fEnd) break;
    if (fetch == fFailed) return ecWbemError;
    if (fetch == fTimedOut) return ecTimeout;
    ++dwCount;
  }
  *pdwCount = dwCount;
  return ecNoError;
}

ErrorCode CAdapterInfo::SetAdapterInfo(IEnumWbemClassObject* pEnum, tAdapterInfoArray* pTable) {
  if (!pEnum || !pTable || !pTable->pAdapterInfo) return ecBadParameter;
  for (DWORD i = 0;; ++i) {
    CComRef<IWbemClassObject> pObject;
    EFetch fetch = FetchOne(pEnum, "SetAdapterInfo", &pObject);
    if (fetch == fEnd) break;
    if (fetch == fFailed) return ecWbemError;
    if (fetch == fTimedOut) return ecTimeout;
    // More controllers than the counting pass saw: the table keeps the count it was made with.
    if (i >= pTable->dwCount) break;
    tAdapterInfo& entry = pTable->pAdapterInfo[i];
    ErrorCode ec = ReadText(pObject.Get(), L"DeviceID", "DeviceID", &entry.pwszDeviceID);
    ErrorCode ecName = ReadText(pObject.Get(), L"DriverName", "DriverName", &entry.pwszDriverName);
    if (ec == ecNoError) ec = ecName;
    if (ec != ecNoError) return ec;
  }
  return ecNoError;
}

bool CAdapterInfo::IsSupDriverInstalled(tAdapterInfoArray* pTable, tSupportedDriverArray* pList) {
  if (!pTable || !pTable->pAdapterInfo) return false;
  for (DWORD i = 0; i < pTable->dwCount; ++i) {
    // An entry whose name has no narrow form (none, empty, or starting above U+00FF) cannot
    // match; it must not hide a supported controller that stands after it.
    const wchar_t* pwszName = pTable->pAdapterInfo[i].pwszDriverName;
    const size_t cch = NarrowWideNameLength(pwszName);
    if (cch == 0) continue;
    std::unique_ptr<char[]> pszName(new (std::nothrow) char[cch + 1]);
    if (!pszName) continue;
    NarrowWideName(pwszName, pszName.get(), cch + 1);
    if (IsListed(pList, pszName.get())) return true;
  }
  return false;
}

ErrorCode CAdapterInfo::Refresh(tAdapterInfoArray** ppTable) {
  if (!ppTable) return ecBadParameter;
  InterlockedIncrement(&s_lScansBegun);
  CComRef<IWbemLocator> pLocator;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, pLocator.PutVoid());
  if (FAILED(hr)) {
    LogHResult("CoCreatInstance failed. Error: %s(0x%08x)\r\n", hr);
    return ecComError;
  }
  if (!pLocator) {
    CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                     "CoCreatInstance succeed but Locator for CIMV2 namespace is NULL.\r\n");
    return ecComError;
  }

  CComRef<IWbemServices> pServices;
  {
    CBSTR bstrNamespace(L"\\\\.\\ROOT\\CIMV2");
    hr = pLocator->ConnectServer(bstrNamespace.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, pServices.Put());
  }
  if (FAILED(hr)) {
    LogHResult("Failed to connect to CIMOM. Error: %s(0x%08x)", hr);
    return ecWbemError;
  }
  if (!pServices) {
    CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                     "Connected to CIMOM but IWbemServices for CIMV2 namepsace is NULL");
    return ecWbemError;
  }

  CComRef<IEnumWbemClassObject> pEnum;
  {
    CBSTR bstrClass(L"Win32_SCSIController");
    hr = pServices->CreateInstanceEnum(bstrClass.Get(), 0, nullptr, pEnum.Put());
  }
  if (FAILED(hr)) {
    LogHResult("Failed to enum instances of Win32_SCSIController in CIMV2. Error: %s(0x%08x)\r\n", hr);
    return ecWbemError;
  }
  if (!pEnum) {
    CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                     "Successfully enum instances of Win32_SCSIController in CIMV2 but pEnumWin32_SCSIController is NULL");
    return ecWbemError;
  }

  // A failed count is a machine without controllers; a count that did not complete is no
  // count at all.
  unsigned long dwCount = 0;
  if (CountChannel(pEnum.Get(), &dwCount) == ecTimeout) return TimedOut();
  if (dwCount == 0) return ecNoError;

  std::unique_ptr<tAdapterInfo[]> pEntries(new (std::nothrow) tAdapterInfo[dwCount]());
  if (!pEntries) return ecOutOfMemory;
  hr = pEnum->Reset();
  if (FAILED(hr)) return CError::MapSystemError(GetLastError());

  tAdapterInfoArray* pTable = new (std::nothrow) tAdapterInfoArray();
  *ppTable = pTable;
  if (!pTable) return ecOutOfMemory;
  pTable->pAdapterInfo = pEntries.release();
  pTable->dwCount = dwCount;
  pTable->lRef = 1;
  // The table stands with whatever the filling pass stored, unless the pass did not complete:
  // such a table is never published.
  if (SetAdapterInfo(pEnum.Get(), pTable) == ecTimeout) return TimedOut();
  pTable->bSupDriverInstalled = IsSupDriverInstalled(pTable, s_pSupportedDriverArray);
  return ecNoError;
}

ErrorCode CAdapterInfo::CreateAdapterInfo() {
  CLockGuard build(BuildLock());
  tAdapterInfoArray* pNew = nullptr;
  ErrorCode ec = Refresh(&pNew);
  InterlockedExchange(&s_lComplete, ec != ecTimeout);
  if (ec != ecNoError) {
    ReleaseTableRef(pNew);
    return ec;
  }
  // Published like a rescan, so that a table left from an earlier run is not lost.
  ReleaseTableRef(ExchangeTable(&s_pAdapterInfoArray, pNew));
  return ecNoError;
}

ErrorCode CAdapterInfo::RescanAdapterInfo() {
  CLockGuard build(BuildLock());
  tAdapterInfoArray* pNew = nullptr;
  const ErrorCode ec = Refresh(&pNew);
  if (ec == ecTimeout) InterlockedExchange(&s_lComplete, 0);
  if (ec != ecNoError) {
    ReleaseTableRef(pNew);
    return ecNoError;
  }
  InterlockedExchange(&s_lComplete, 1);
  tAdapterInfoArray* pRead = LoadTable(&s_pAdapterInfoArray);
  tAdapterInfoArray* pOld = ExchangeTable(&s_pAdapterInfoArray, pNew);
  if (pOld != pRead) CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "AdapterInfo Pointers not swapped");
  // The exchange took the publication's reference of whatever table it replaced, also when
  // another rescan had published that table in between; dropping it here loses no table.
  if (pOld) DeleteAdapterInfo(&pOld);
  return ecNoError;
}

ErrorCode CAdapterInfo::DeleteAdapterInfo(tAdapterInfoArray** ppTable) {
  tAdapterInfoArray* pTable = ppTable ? *ppTable : ExchangeTable(&s_pAdapterInfoArray, nullptr);
  if (!pTable) return ecInternalError;
  if (ppTable) *ppTable = nullptr;
  ReleaseTableRef(pTable);
  return ecNoError;
}

unsigned long CAdapterInfo::GetAdapterChannelCount() {
  CTableUse table(&s_pAdapterInfoArray);
  return table ? table->dwCount : 0;
}

ErrorCode CAdapterInfo::SearchByDeviceID(const wchar_t* pwszDeviceID, unsigned short* pwIndex) {
  if (!pwIndex) return ecBadParameter;
  *pwIndex = c_wNoAdapter;
  CTableUse table(&s_pAdapterInfoArray);
  if (table) *pwIndex = Search(table.operator->(), pwszDeviceID);
  return ecNoError;
}

const wchar_t* CAdapterInfo::GetDriverNamebyIndex(unsigned short wIndex) {
  static const wchar_t c_wszEmpty[] = L"";
  CTableUse table(&s_pAdapterInfoArray);
  const wchar_t* pwszName = nullptr;
  if (table && wIndex < table->dwCount) pwszName = table->pAdapterInfo[wIndex].pwszDriverName;
  if (!pwszName) return c_wszEmpty;
  // A copy that no rescan can free.
  size_t cch = wcslen(pwszName);
  if (cch > c_cchNameCopy) cch = c_cchNameCopy;
  wmemcpy(t_wszDriverName, pwszName, cch);
  t_wszDriverName[cch] = L'\0';
  return t_wszDriverName;
}

bool CAdapterInfo::GetIsSupDriverInstalled() {
  CTableUse table(&s_pAdapterInfoArray);
  return table && table->bSupDriverInstalled;
}

bool CAdapterInfo::FindAdapter(const wchar_t* pwszDeviceID, tEventAdapter* pAdapter) {
  CTableUse table(&s_pAdapterInfoArray);
  const tAdapterInfoArray* pTable = table ? table.operator->() : nullptr;
  pAdapter->wIndex = Search(pTable, pwszDeviceID);
  NarrowDriverName(pTable, pAdapter->wIndex, pAdapter->szDriver);
  return pAdapter->wIndex != c_wNoAdapter;
}

void CAdapterInfo::GetDriverName(unsigned short wIndex, char (&szDriver)[256]) {
  CTableUse table(&s_pAdapterInfoArray);
  NarrowDriverName(table ? table.operator->() : nullptr, wIndex, szDriver);
}

LONG CAdapterInfo::ScansBegun() { return InterlockedCompareExchange(&s_lScansBegun, 0, 0); }

bool CAdapterInfo::IsTableComplete() { return InterlockedCompareExchange(&s_lComplete, 0, 0) != 0; }

tAdapterInfoArray* CAdapterInfo::AcquireTable() { return AcquireSlot(&s_pAdapterInfoArray); }

void CAdapterInfo::ReleaseTable(tAdapterInfoArray* pTable) { ReleaseTableRef(pTable); }

void CAdapterInfo::ForEachAdapter(AdapterVisitor pfn, void* pvContext) {
  CTableUse table(&s_pAdapterInfoArray);
  const tAdapterInfoArray* pTable = table ? table.operator->() : nullptr;
  for (DWORD i = 0; pTable && i < pTable->dwCount && i < c_wNoAdapter; ++i) {
    char szDriver[256];
    NarrowDriverName(pTable, static_cast<WORD>(i), szDriver);
    pfn(pvContext, pTable->pAdapterInfo[i].pwszDeviceID, szDriver, szDriver[0] != '\0' && IsEvtSrcSupported(szDriver));
  }
}
