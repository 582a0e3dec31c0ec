#include "wmi/Connection.h"

#include "wmi/Consumers.h"

#include <new>

CConnection::CConnection() : m_lRef(1), m_lLost(0) {}

CConnection::~CConnection() {
  // One namespace after the other, in order.
  for (auto& pConsumers : m_rgpConsumers) pConsumers.reset();
}

ULONG CConnection::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_lRef)); }

ULONG CConnection::Release() {
  LONG lRef = InterlockedDecrement(&m_lRef);
  if (lRef == 0) delete this;
  return static_cast<ULONG>(lRef);
}

ErrorCode CConnection::Create(CConnection** ppConnection, tQueryBook* const rgpBooks[nsCount], HRESULT* phrConnect) {
  CComRef<CConnection> pConnection(new (std::nothrow) CConnection());
  if (!pConnection) return ecOutOfMemory;
  // A failure on ROOT\WMI leaves ROOT\CIMV2 unconnected.
  for (DWORD ns = 0; ns < nsCount; ++ns) {
    CConsumers* pConsumers = nullptr;
    ErrorCode code = CConsumers::Create(&pConsumers, static_cast<ENameSpace>(ns), rgpBooks ? rgpBooks[ns] : nullptr,
                                        phrConnect);
    pConnection->m_rgpConsumers[ns].reset(pConsumers);
    if (code != ecNoError) return code;
    if (!pConsumers) return ecOutOfMemory;
  }
  pConnection->WatchWmiProcess();
  *ppConnection = pConnection.Detach();
  return ecNoError;
}

void CConnection::WatchWmiProcess() {
  CScHandle hScm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!hScm) return;
  CScHandle hWmi(OpenServiceA(hScm.Get(), "WinMgmt", SERVICE_QUERY_STATUS));
  if (!hWmi) return;
  SERVICE_STATUS_PROCESS ssp = {};
  DWORD cbNeeded = 0;
  if (!QueryServiceStatusEx(hWmi.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&ssp), sizeof(ssp),
                            &cbNeeded) ||
      ssp.dwCurrentState != SERVICE_RUNNING || ssp.dwProcessId == 0)
    return;
  m_hWmiProcess.Reset(OpenProcess(SYNCHRONIZE, FALSE, ssp.dwProcessId));
  // A process that has ended already is no watch: the connection is then tried now and then.
  if (m_hWmiProcess && WaitForSingleObject(m_hWmiProcess.Get(), 0) == WAIT_OBJECT_0) m_hWmiProcess.Reset();
}

void CConnection::Close() {
  for (auto& pConsumers : m_rgpConsumers)
    if (pConsumers) pConsumers->Close();
}

bool CConnection::Owns(const IWbemServices* pServices) const {
  if (!pServices) return true;
  for (const auto& pConsumers : m_rgpConsumers)
    if (pConsumers && pConsumers->UsesServices(pServices)) return true;
  return false;
}

void CConnection::MarkLost() { InterlockedExchange(&m_lLost, 1); }

bool CConnection::IsLost() const {
  return InterlockedCompareExchange(const_cast<LONG volatile*>(&m_lLost), 0, 0) != 0;
}

bool CConnection::Ping() {
  IWbemServices* pServices = m_rgpConsumers[nsWMI] ? m_rgpConsumers[nsWMI]->Services() : nullptr;
  if (!pServices) return false;
  CComRef<IWbemClassObject> pClass;
  CBSTR bstrClass(L"__ClassCreationEvent");
  const HRESULT hr = pServices->GetObject(bstrClass.Get(), 0, nullptr, pClass.Put(), nullptr);
  return !CError::IsConnectionLoss(hr);
}
