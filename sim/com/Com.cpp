// Apartments, process security and class activation of the simulated COM.
//
// A thread joins an apartment with CoInitializeEx and leaves it with the matching number of
// CoUninitialize calls. A thread that never joined may still use COM while the process's
// multithreaded apartment exists (the implicit MTA). Process security can be set once while COM
// is up; when the last thread leaves COM the process state is reset, as a fresh process would be.
// The threads of a service process that ends leave their apartments with it.
#include <ksim/Com.h>

#include "internal/Com.h"
#include "internal/ServiceProcess.h"
#include "internal/Wmi.h"

#include <map>
#include <mutex>

namespace {

enum EApartment { aptNone, aptMta, aptSta };

thread_local EApartment t_apartment = aptNone;
thread_local long t_lInitCount = 0;

struct ComState {
  std::mutex lock;
  long lMtaThreads = 0;
  long lStaThreads = 0;
  std::optional<ksim::com::SecuritySettings> security;
  // The apartment members of each service process: {MTA threads, STA threads}.
  std::map<const ksim::detail::ServiceProcess*, std::pair<long, long>> members;
};

// Counts the calling thread in or out of its apartment. Call with the state's lock held.
void CountMember(ComState& s, EApartment apartment, long lDelta) {
  (apartment == aptMta ? s.lMtaThreads : s.lStaThreads) += lDelta;
  if (const ksim::detail::ServiceProcess* p = ksim::detail::CurrentServiceProcess()) {
    std::pair<long, long>& m = s.members[p];
    (apartment == aptMta ? m.first : m.second) += lDelta;
  }
  if (s.lMtaThreads == 0 && s.lStaThreads == 0) s.security.reset();
}

ComState& State() {
  static ComState* s_pState = new ComState;
  return *s_pState;
}

}  // namespace

namespace ksim::detail {

bool ComUsable() {
  if (t_lInitCount > 0) return true;
  ComState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.lMtaThreads > 0;
}

}  // namespace ksim::detail

namespace ksim::detail {

void EndProcessApartments(const ServiceProcess* pProcess) {
  ComState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.members.find(pProcess);
  if (it == s.members.end()) return;
  s.lMtaThreads -= it->second.first;
  s.lStaThreads -= it->second.second;
  s.members.erase(it);
  if (s.lMtaThreads == 0 && s.lStaThreads == 0) s.security.reset();
}

}  // namespace ksim::detail

namespace ksim::com {

std::optional<SecuritySettings> Security() {
  ComState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.security;
}

long MtaThreads() {
  ComState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.lMtaThreads;
}

long StaThreads() {
  ComState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.lStaThreads;
}

}  // namespace ksim::com

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (auto f = ksim::detail::Enter("CoInitializeEx")) return static_cast<HRESULT>(f->result);
  if (pvReserved) return E_INVALIDARG;
  EApartment wanted = (dwCoInit & COINIT_APARTMENTTHREADED) ? aptSta : aptMta;
  if (t_lInitCount > 0) {
    if (t_apartment != wanted) return RPC_E_CHANGED_MODE;
    ++t_lInitCount;
    return S_FALSE;
  }
  ComState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  t_apartment = wanted;
  t_lInitCount = 1;
  CountMember(s, wanted, 1);
  return S_OK;
}

void WINAPI CoUninitialize() {
  ksim::detail::Enter("CoUninitialize");
  if (t_lInitCount == 0) return;
  if (--t_lInitCount > 0) return;
  ComState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  CountMember(s, t_apartment, -1);
  t_apartment = aptNone;
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc, SOLE_AUTHENTICATION_SERVICE*, void*,
                             DWORD dwAuthnLevel, DWORD dwImpLevel, void*, DWORD dwCapabilities, void*) {
  if (auto f = ksim::detail::Enter("CoInitializeSecurity")) return static_cast<HRESULT>(f->result);
  if (!ksim::detail::ComUsable()) return CO_E_NOTINITIALIZED;
  ComState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.security) return RPC_E_TOO_LATE;
  s.security = ksim::com::SecuritySettings{cAuthSvc, dwAuthnLevel, dwImpLevel, dwCapabilities, pSecDesc == nullptr};
  return S_OK;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  const bool bLocator = IsEqualCLSID(rclsid, CLSID_WbemLocator);
  if (auto f = ksim::detail::Enter("CoCreateInstance", bLocator ? "WbemLocator" : "other")) {
    if (f->lastError) SetLastError(f->lastError);
    return static_cast<HRESULT>(f->result);
  }
  if (!ksim::detail::ComUsable()) return CO_E_NOTINITIALIZED;
  if (!bLocator || !(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  return ksim::detail::CreateWbemLocator(riid, ppv);
}
