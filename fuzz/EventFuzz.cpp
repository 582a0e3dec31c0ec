// Event objects of any property types, lengths and shapes through the controller-message and
// host-time handlers, as WMI delivers them on a machine with a served controller (velk4) and
// one the service does not serve (qtr).
//
// Input: one byte chooses the handler and the controller, then the properties of the event
// (InstanceName, Active) and, for a message, those of the driver's Talvenix_AdapterPrintf
// instance (AdapterNumber, Level, Length, PrintfString): each missing, without value, or of
// one of a dozen variant types with fuzzed content.
#include "adapters/AdapterInfo.h"
#include "service/ServiceUtil.h"
#include "sink/WbemSink.h"

#include <ksim/EventLog.h>
#include <ksim/Faults.h>
#include <ksim/Host.h>
#include <ksim/Machine.h>
#include <ksim/Wmi.h>

#include "FuzzInput.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using ksim::wmi::Value;

const wchar_t c_wszServed[] = L"PCI\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\4&1a2b3c4d&0&00e0";
const wchar_t c_wszUnserved[] = L"PCI\\VEN_EEEE&DEV_0001&SUBSYS_00000000&REV_01\\4&3c4d5e6f&0&0010";
const wchar_t c_wszMessageQuery[] = L"SELECT * FROM Talvenix_AdapterPrintfNotification";
const wchar_t c_wszHostTimeQuery[] = L"SELECT * FROM Talvenix_HostTimeRequest";
// Inputs between two fresh machines: the simulated driver keeps every SetAdapterTime call.
const unsigned c_cRunsPerMachine = 4096;

void Check(bool bHolds) {
  if (!bHolds) abort();
}

// Keeps a copy of every object WMI delivers, as a real sink must (WMI releases its own).
class CCollectingSink : public IWbemObjectSink {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemObjectSink)) {
      *ppv = static_cast<IWbemObjectSink*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Indicate(LONG lObjectCount, IWbemClassObject** apObjArray) override {
    std::lock_guard<std::mutex> guard(m_lock);
    for (LONG i = 0; i < lObjectCount; ++i) {
      IWbemClassObject* pCopy = nullptr;
      if (SUCCEEDED(apObjArray[i]->Clone(&pCopy)) && pCopy) m_objects.push_back(pCopy);
    }
    return WBEM_S_NO_ERROR;
  }
  HRESULT STDMETHODCALLTYPE SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return WBEM_S_NO_ERROR; }

  // The objects received so far; the caller releases them.
  std::vector<IWbemClassObject*> Take() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<IWbemClassObject*> objects;
    objects.swap(m_objects);
    return objects;
  }

 private:
  std::mutex m_lock;
  std::vector<IWbemClassObject*> m_objects;
};

struct tMachine {
  IWbemServices* pServices = nullptr;
  IWbemClassObject* pSomeObject = nullptr;  // for VT_UNKNOWN values
  CCollectingSink sink;
  unsigned cRuns = 0;
};

IWbemServices* Connect(const wchar_t* pwszNamespace) {
  IWbemLocator* pLocator = nullptr;
  Check(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                         reinterpret_cast<void**>(&pLocator)) == S_OK);
  IWbemServices* pServices = nullptr;
  BSTR bstrNamespace = SysAllocString(pwszNamespace);
  Check(pLocator->ConnectServer(bstrNamespace, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &pServices) ==
        WBEM_S_NO_ERROR);
  SysFreeString(bstrNamespace);
  pLocator->Release();
  return pServices;
}

void Subscribe(tMachine* pMachine, const wchar_t* pwszQuery) {
  BSTR bstrWql = SysAllocString(L"WQL");
  BSTR bstrQuery = SysAllocString(pwszQuery);
  Check(pMachine->pServices->ExecNotificationQueryAsync(bstrWql, bstrQuery, 0, nullptr, &pMachine->sink) ==
        WBEM_S_NO_ERROR);
  SysFreeString(bstrQuery);
  SysFreeString(bstrWql);
}

void StopMachine(tMachine* pMachine) {
  if (!pMachine->pServices) return;
  pMachine->pServices->CancelAsyncCall(&pMachine->sink);
  Check(ksim::wmi::WaitIdle(20000));
  for (IWbemClassObject* p : pMachine->sink.Take()) p->Release();
  pMachine->pSomeObject->Release();
  pMachine->pServices->Release();
  pMachine->pServices = nullptr;
  CAdapterInfo::DeleteAdapterInfo(nullptr);
}

void StartMachine(tMachine* pMachine) {
  StopMachine(pMachine);
  ksim::machine::Reset();
  ksim::machine::AddScsiController(c_wszServed, L"velk4");
  ksim::machine::AddScsiController(c_wszUnserved, L"qtr");
  ksim::machine::LoadRaidDriver(L"velk4");
  Check(CAdapterInfo::CreateAdapterInfo() == ecNoError);
  pMachine->pServices = Connect(ksim::wmi::kRootWmi);
  BSTR bstrClass = SysAllocString(ksim::machine::kAdapterPrintf);
  Check(pMachine->pServices->GetObject(bstrClass, 0, nullptr, &pMachine->pSomeObject, nullptr) == WBEM_S_NO_ERROR);
  SysFreeString(bstrClass);
  Subscribe(pMachine, c_wszMessageQuery);
  Subscribe(pMachine, c_wszHostTimeQuery);
  pMachine->cRuns = 0;
}

std::wstring WideText(korvlog_fuzz::CFuzzInput* pInput, size_t cchMax) {
  std::wstring text;
  const std::vector<uint8_t> bytes = pInput->Bytes(cchMax * 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
  return text;
}

// An instance name: one of the controllers' own (also in another letter case, or with another
// index), or any text.
std::wstring InstanceName(korvlog_fuzz::CFuzzInput* pInput) {
  const uint8_t b = pInput->Byte();
  std::wstring name = (b & 1) ? c_wszUnserved : c_wszServed;
  switch ((b >> 1) % 5) {
    case 0: return name + L"_0";
    case 1:
      for (wchar_t& ch : name)
        if (ch >= L'a' && ch <= L'z') ch = static_cast<wchar_t>(ch - L'a' + L'A');
      return name + L"_0";
    case 2: return name + L"_" + std::to_wstring(pInput->Byte());
    case 3: return name.substr(0, pInput->Byte() % (name.size() + 1)) + WideText(pInput, 8);
    default: return WideText(pInput, 300);
  }
}

Value Scalar(VARTYPE vt, korvlog_fuzz::CFuzzInput* pInput) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  const uint32_t dw = pInput->Dword();
  switch (vt) {
    case VT_I2: v.iVal = static_cast<SHORT>(dw); break;
    case VT_UI1: v.bVal = static_cast<BYTE>(dw); break;
    case VT_UI4: v.ulVal = dw; break;
    case VT_R8: v.dblVal = static_cast<double>(static_cast<int32_t>(dw)) / 3.0; break;
    default: break;
  }
  return Value(v);
}

// A property as the input describes it: absent (std::nullopt) or a value of any shape.
std::optional<Value> PropertyValue(korvlog_fuzz::CFuzzInput* pInput, const tMachine& machine, bool bName) {
  switch (pInput->Byte() % 13) {
    case 0: return std::nullopt;
    case 1: return Value::Null();
    case 2: return Value::I4(static_cast<LONG>(pInput->Dword()));
    case 3: return Value::Bool(pInput->Byte() & 1);
    case 4: return Value::Str(bName ? InstanceName(pInput) : WideText(pInput, 300));
    case 5: {
      const std::vector<uint8_t> bytes = pInput->Bytes(4096);
      return Value::Bytes(std::vector<BYTE>(bytes.begin(), bytes.end()));
    }
    case 6: return Scalar(VT_I2, pInput);
    case 7: return Scalar(VT_UI1, pInput);
    case 8: return Scalar(VT_UI4, pInput);
    case 9: return Scalar(VT_R8, pInput);
    case 10: return Scalar(VT_EMPTY, pInput);
    case 11: return Value::Object(machine.pSomeObject);
    default: return Value::Str(L"");
  }
}

void AddProperty(ksim::wmi::Properties* pProperties, const wchar_t* pwszName, korvlog_fuzz::CFuzzInput* pInput,
                 const tMachine& machine, bool bName = false) {
  // Half of the time the driver's own value stays.
  if (pInput->Byte() & 1) pProperties->push_back({pwszName, PropertyValue(pInput, machine, bName)});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ksim::SetCallRecording(false);
  Check(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  CWMIServiceUtil::SetServiceName("korvlog");
  Check(CAdapterInfo::CreateSupportedDriverInfo("velk4") == ecNoError);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  static tMachine s_machine;
  if (!s_machine.pServices || s_machine.cRuns++ >= c_cRunsPerMachine) StartMachine(&s_machine);

  korvlog_fuzz::CFuzzInput input(pData, cbData);
  const uint8_t bChoice = input.Byte();
  const bool bHostTime = bChoice & 1;
  const wchar_t* pwszPath = (bChoice & 2) ? c_wszUnserved : c_wszServed;

  ksim::wmi::Properties event;
  AddProperty(&event, L"InstanceName", &input, s_machine, true);
  AddProperty(&event, L"Active", &input, s_machine);
  bool bRaised;
  if (bHostTime) {
    bRaised = ksim::machine::RaiseHostTimeRequest(pwszPath, event);
  } else {
    ksim::machine::FirmwareMessage message;
    message.instancePath = pwszPath;
    message.level = static_cast<LONG>(input.Byte()) % 4 * 10;
    message.adapterNumber = input.Byte();
    const std::vector<uint8_t> text = input.Bytes(2048);
    message.bytes.assign(text.begin(), text.end());
    message.notificationOverrides = event;
    AddProperty(&message.printfOverrides, L"AdapterNumber", &input, s_machine);
    AddProperty(&message.printfOverrides, L"Level", &input, s_machine);
    AddProperty(&message.printfOverrides, L"Length", &input, s_machine);
    AddProperty(&message.printfOverrides, L"PrintfString", &input, s_machine);
    bRaised = ksim::machine::RaiseFirmwareMessage(message);
  }
  Check(ksim::wmi::WaitIdle(20000));

  std::vector<IWbemClassObject*> objects = s_machine.sink.Take();
  Check(!bRaised || objects.size() == 1);
  for (IWbemClassObject* pEvent : objects) {
    const HRESULT hr = bHostTime ? CWbemSink::IndEHostTimeRequest(s_machine.pServices, pEvent)
                                 : CWbemSink::IndEAdapterPrintfNotification(s_machine.pServices, pEvent);
    // A handler succeeds plainly or fails; it never hands WMI another success code.
    Check(hr == WBEM_S_NO_ERROR || FAILED(hr));
    pEvent->Release();
  }
  ksim::ClearEventLog();
  return 0;
}
