#include "Consumers.h"

#include "Measure.h"
#include "Workload.h"

#include <ksim/Host.h>
#include <ksim/Scm.h>
#include <ksim/Services.h>
#include <ksim/Wmi.h>
#include <simwin/objbase.h>
#include <simwin/oleauto.h>
#include <simwin/wbemidl.h>
#include <simwin/windows.h>

#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

int KorvlogMain(int argc, char* argv[]);

namespace bench {
namespace {

const char kService[] = "korvlog";
const char kModulePath[] = "C:\\korvlog\\korvlog.exe";

bool WaitStopped(DWORD dwMilliseconds) { return ksim::WaitForServiceProcesses(dwMilliseconds) && ksim::Settle(30000); }

}  // namespace

bool Korvlog::Install() {
  ksim::SetModulePath(kModulePath);
  ksim::SetProcessEntry(KorvlogMain);
  std::vector<std::string> args = {kModulePath, "-i", kService, "-d", std::string(kDriver) + ",qtr"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  // The console run prints what it did; the table is what this program prints.
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  FILE* devnull = freopen("/dev/null", "w", stdout);
  const int rc = KorvlogMain(static_cast<int>(args.size()), argv.data());
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  (void)devnull;
  return rc == 0;
}

bool Korvlog::Start() {
  return ksim::StartServiceByName(kService) == 0 && ksim::WaitForServiceIdle(kService, 10000) && ksim::Settle(30000);
}

bool Korvlog::Stop() {
  return ksim::ControlServiceByName(kService, SERVICE_CONTROL_STOP) == 0 && WaitStopped(30000);
}

int64_t Korvlog::TimedStop() {
  const int64_t start = NowNs();
  if (ksim::ControlServiceByName(kService, SERVICE_CONTROL_STOP) != 0) return -1;
  int64_t stopped = -1;
  for (const int64_t deadline = start + 30000000000LL; NowNs() < deadline;) {
    auto info = ksim::FindService(kService);
    if (info && info->status.dwCurrentState == SERVICE_STOPPED) {
      stopped = NowNs() - start;
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return WaitStopped(30000) ? stopped : -1;
}

namespace {

// Only the calls no consumer can avoid, on WMI's thread: no copy of the event, no thread, no
// adapter lookup. The record is the one korvlog writes, through the same three calls.
class CReferenceSink final : public IWbemObjectSink {
 public:
  explicit CReferenceSink(IWbemServices* pServices) : m_lRef(1), m_pServices(pServices) { m_pServices->AddRef(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemObjectSink)) {
      *ppv = static_cast<IWbemObjectSink*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_lRef)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG lRef = InterlockedDecrement(&m_lRef);
    if (lRef == 0) delete this;
    return static_cast<ULONG>(lRef);
  }

  HRESULT STDMETHODCALLTYPE Indicate(LONG lCount, IWbemClassObject** apObjects) override {
    if (!apObjects) return WBEM_E_INVALID_PARAMETER;
    for (LONG i = 0; i < lCount; ++i)
      if (apObjects[i]) Handle(apObjects[i]);
    return WBEM_S_NO_ERROR;
  }
  HRESULT STDMETHODCALLTYPE SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return WBEM_S_NO_ERROR; }

 private:
  ~CReferenceSink() { m_pServices->Release(); }

  static LONG GetLong(IWbemClassObject* p, LPCWSTR pwszName) {
    VARIANT v;
    VariantInit(&v);
    LONG l = 0;
    if (SUCCEEDED(p->Get(pwszName, 0, &v, nullptr, nullptr)) && v.vt == VT_I4) l = v.lVal;
    VariantClear(&v);
    return l;
  }

  void Handle(IWbemClassObject* pEvent) {
    VARIANT vName;
    VariantInit(&vName);
    if (FAILED(pEvent->Get(L"InstanceName", 0, &vName, nullptr, nullptr)) || vName.vt != VT_BSTR || !vName.bstrVal) {
      VariantClear(&vName);
      return;
    }
    // Talvenix_AdapterPrintf.InstanceName="<name with \ and " escaped>"
    wchar_t wszPath[1024];
    static const wchar_t c_wszPrefix[] = L"Talvenix_AdapterPrintf.InstanceName=\"";
    size_t n = 0;
    for (const wchar_t* p = c_wszPrefix; *p; ++p) wszPath[n++] = *p;
    for (const wchar_t* p = vName.bstrVal; *p && n < 1020; ++p) {
      if (*p == L'\\' || *p == L'"') wszPath[n++] = L'\\';
      wszPath[n++] = *p;
    }
    wszPath[n++] = L'"';
    wszPath[n] = L'\0';
    VariantClear(&vName);
    BSTR bstrPath = SysAllocString(wszPath);
    IWbemClassObject* pInstance = nullptr;
    const HRESULT hr = bstrPath ? m_pServices->GetObject(bstrPath, 0, nullptr, &pInstance, nullptr) : E_OUTOFMEMORY;
    SysFreeString(bstrPath);
    if (FAILED(hr) || !pInstance) return;

    const LONG lAdapterNumber = GetLong(pInstance, L"AdapterNumber");
    const LONG lLevel = GetLong(pInstance, L"Level");
    LONG lLength = GetLong(pInstance, L"Length");
    VARIANT vText;
    VariantInit(&vText);
    char szText[257];
    szText[0] = '\0';
    if (lLength > 0 && SUCCEEDED(pInstance->Get(L"PrintfString", 0, &vText, nullptr, nullptr)) &&
        vText.vt == (VT_ARRAY | VT_UI1) && vText.parray) {
      // In place, the cheapest read there is: one call to lock the array and one to unlock it.
      if (lLength > 256) lLength = 256;
      LONG i = 0;
      void* pvData = nullptr;
      if (SUCCEEDED(SafeArrayAccessData(vText.parray, &pvData))) {
        const LONG cb = static_cast<LONG>(vText.parray->rgsabound[0].cElements);
        const char* pch = static_cast<const char*>(pvData);
        for (; i < lLength && i < cb && pch[i] != '\0'; ++i) szText[i] = pch[i];
        SafeArrayUnaccessData(vText.parray);
      }
      szText[i] = '\0';
    }
    VariantClear(&vText);
    pInstance->Release();
    if (lLength <= 0) return;

    WORD wType = EVENTLOG_ERROR_TYPE;
    DWORD dwEventId = 0xC1011002;
    if (lLevel == 20) {
      wType = EVENTLOG_INFORMATION_TYPE;
      dwEventId = 0x41011000;
    } else if (lLevel == 30) {
      wType = EVENTLOG_WARNING_TYPE;
      dwEventId = 0x81011001;
    }
    char szRecord[320];
    snprintf(szRecord, sizeof(szRecord), "\\Device\\Scsi\\%s%ld: %s", kDriver, static_cast<long>(lAdapterNumber),
             szText);
    HANDLE hSource = RegisterEventSourceA(nullptr, kDriver);
    if (!hSource) return;
    LPCSTR rgpsz[] = {szRecord};
    ReportEventA(hSource, wType, 0, dwEventId, nullptr, 1, 0, rgpsz, nullptr);
    DeregisterEventSource(hSource);
  }

  LONG volatile m_lRef;
  IWbemServices* m_pServices;
};

}  // namespace

struct Reference::State {
  IWbemLocator* pLocator = nullptr;
  IWbemServices* pServices = nullptr;
  CReferenceSink* pSink = nullptr;
  bool bComStarted = false;
};

Reference::Reference() : m_pState(new State) {}

Reference::~Reference() {
  Stop();
  delete m_pState;
}

bool Reference::Start() {
  State& s = *m_pState;
  if (!s.bComStarted) s.bComStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(&s.pLocator))))
    return false;
  BSTR bstrNamespace = SysAllocString(L"ROOT\\WMI");
  HRESULT hr = s.pLocator->ConnectServer(bstrNamespace, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &s.pServices);
  SysFreeString(bstrNamespace);
  if (FAILED(hr)) return false;
  s.pSink = new CReferenceSink(s.pServices);
  BSTR bstrLanguage = SysAllocString(L"WQL");
  BSTR bstrQuery = SysAllocString(L"SELECT * FROM Talvenix_AdapterPrintfNotification");
  hr = s.pServices->ExecNotificationQueryAsync(bstrLanguage, bstrQuery, 0, nullptr, s.pSink);
  SysFreeString(bstrQuery);
  SysFreeString(bstrLanguage);
  return SUCCEEDED(hr) && ksim::Settle(30000);
}

bool Reference::Stop() {
  State& s = *m_pState;
  bool ok = true;
  if (s.pServices && s.pSink) ok = SUCCEEDED(s.pServices->CancelAsyncCall(s.pSink));
  ok = ksim::Settle(30000) && ok;
  if (s.pSink) s.pSink->Release();
  if (s.pServices) s.pServices->Release();
  if (s.pLocator) s.pLocator->Release();
  s.pSink = nullptr;
  s.pServices = nullptr;
  s.pLocator = nullptr;
  // COM ends with its last apartment, as when a consumer's process exits, so that korvlog's
  // next start initialises its process's security afresh.
  if (s.bComStarted) CoUninitialize();
  s.bComStarted = false;
  return ok;
}

}  // namespace bench
