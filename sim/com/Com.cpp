// Apartments, process security and class activation of the simulated COM.
//
// A thread joins an apartment with CoInitializeEx and leaves it with the matching number of
// CoUninitialize calls. A thread that never joined may still use COM while the process's
// multithreaded apartment exists (the implicit MTA). Process security can be set once while COM
// is up; when the last thread leaves COM the process state is reset, as a fresh process would be.
#include <ksim/Com.h>

#include "internal/Com.h"
#include "internal/Wmi.h"

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
};

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

std::string Selector(const wchar_t* pwsz) {
  std::string s;
  if (!pwsz) return s;
  for (; *pwsz; ++pwsz) s += (*pwsz > 0 && *pwsz < 0x80) ? static_cast<char>(*pwsz) : '?';
  return s;
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
  ++(wanted == aptMta ? s.lMtaThreads : s.lStaThreads);
  return S_OK;
}

void WINAPI CoUninitialize() {
  ksim::detail::Enter("CoUninitialize");
  if (t_lInitCount == 0) return;
  if (--t_lInitCount > 0) return;
  ComState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  --(t_apartment == aptMta ? s.lMtaThreads : s.lStaThreads);
  t_apartment = aptNone;
  if (s.lMtaThreads == 0 && s.lStaThreads == 0) s.security.reset();
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
