// The second layer of the test support, COM and WMI: the service's queries, a counting fake sink,
// a string read, and a fixture that starts COM and leaves the simulated machine clean.
#pragma once

#include "support/Machine.h"

#include <ksim/Com.h>
#include <ksim/Faults.h>
#include <ksim/Host.h>
#include <ksim/Machine.h>
#include <ksim/Wmi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace ktest {

// The queries the service registers, as WMI records them.
inline const wchar_t kQueryMessages[] = L"SELECT * FROM Talvenix_AdapterPrintfNotification";
inline const wchar_t kQueryHostTime[] = L"SELECT * FROM Talvenix_HostTimeRequest";
inline const wchar_t kQueryPrintfCreated[] =
    L"SELECT * FROM __ClassCreationEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_AdapterPrintf\"";
inline const wchar_t kQueryPrintfDeleted[] =
    L"SELECT * FROM __ClassDeletionEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_AdapterPrintf\"";
inline const wchar_t kQuerySetHostTimeCreated[] =
    L"SELECT * FROM __ClassCreationEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_SetHostTime\"";
inline const wchar_t kQuerySetHostTimeDeleted[] =
    L"SELECT * FROM __ClassDeletionEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_SetHostTime\"";
inline const wchar_t kQueryControllerAdded[] =
    L"SELECT * FROM __InstanceCreationEvent  WITHIN 60 WHERE TargetInstance ISA \"Win32_SCSIController\"";
inline const wchar_t kQueryControllerRemoved[] =
    L"SELECT * FROM __InstanceDeletionEvent  WITHIN 60 WHERE TargetInstance ISA \"Win32_SCSIController\"";


// An IWbemObjectSink that records what WMI delivers. Indicate copies what it needs (the objects
// are WMI's) and may keep clones with their own references.
class FakeSink : public IWbemObjectSink {
 public:
  struct Status {
    LONG lFlags;
    HRESULT hr;
    DWORD threadId;
  };

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemObjectSink)) {
      *ppv = static_cast<IWbemObjectSink*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_lRef); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_lRef); }

  HRESULT STDMETHODCALLTYPE Indicate(LONG lObjectCount, IWbemClassObject** apObjArray) override {
    std::vector<IWbemClassObject*> clones;
    for (LONG i = 0; i < lObjectCount; ++i) {
      IWbemClassObject* pCopy = nullptr;
      if (SUCCEEDED(apObjArray[i]->Clone(&pCopy))) clones.push_back(pCopy);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_batches.push_back(static_cast<size_t>(lObjectCount));
    m_indicateThreads.push_back(GetCurrentThreadId());
    for (IWbemClassObject* p : clones) m_objects.push_back(p);
    m_changed.notify_all();
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE SetStatus(LONG lFlags, HRESULT hResult, BSTR, IWbemClassObject*) override {
    if (m_onStatus) m_onStatus();
    std::lock_guard<std::mutex> guard(m_lock);
    m_statuses.push_back(Status{lFlags, hResult, GetCurrentThreadId()});
    m_changed.notify_all();
    return WBEM_S_NO_ERROR;
  }

  ~FakeSink() { ReleaseObjects(); }
  void ReleaseObjects() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (IWbemClassObject* p : m_objects) p->Release();
    m_objects.clear();
  }

  long Refs() const { return m_lRef.load(); }
  std::vector<size_t> Batches() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_batches;
  }
  std::vector<Status> Statuses() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_statuses;
  }
  std::vector<DWORD> IndicateThreads() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_indicateThreads;
  }
  // The objects received (clones, owned by the sink).
  std::vector<IWbemClassObject*> Objects() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objects;
  }
  std::function<void()> m_onStatus;  // runs inside SetStatus, before it is recorded

 private:
  std::atomic<long> m_lRef{1};
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<size_t> m_batches;
  std::vector<DWORD> m_indicateThreads;
  std::vector<Status> m_statuses;
  std::vector<IWbemClassObject*> m_objects;
};

// Reads a string property; "<missing>" or "<type N>" when it is not one.
inline std::wstring GetString(IWbemClassObject* p, const wchar_t* pwszName) {
  VARIANT v;
  VariantInit(&v);
  if (FAILED(p->Get(pwszName, 0, &v, nullptr, nullptr))) return L"<missing>";
  std::wstring s = v.vt == VT_BSTR ? std::wstring(v.bstrVal) : L"<type " + std::to_wstring(v.vt) + L">";
  VariantClear(&v);
  return s;
}

// Starts COM in the test's thread and leaves the simulated machine as it found it.
class ComFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ksim::machine::Reset();
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    m_leaks = LeakCheck({"bstrs", "com_objects", "wmi_cancel_wait_timeouts"});
  }
  void TearDown() override {
    ASSERT_TRUE(ksim::wmi::WaitIdle());
    ASSERT_TRUE(ksim::WaitForThreads(10000));
    ksim::machine::Reset();
    CoUninitialize();
    m_leaks.Expect("bstrs", 0);
    m_leaks.Expect("com_objects", 0);
    m_leaks.Expect("wmi_cancel_wait_timeouts", m_expectedCancelTimeouts);
  }

  IWbemServices* Connect(const wchar_t* pwszNamespace) {
    IWbemLocator* pLocator = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                     reinterpret_cast<void**>(&pLocator)));
    if (!pLocator) return nullptr;
    IWbemServices* pServices = nullptr;
    BSTR bstr = SysAllocString(pwszNamespace);
    EXPECT_EQ(WBEM_S_NO_ERROR, pLocator->ConnectServer(bstr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &pServices));
    SysFreeString(bstr);
    pLocator->Release();
    return pServices;
  }

  LeakCheck m_leaks{{}};
  int64_t m_expectedCancelTimeouts = 0;  // a test that provokes a give-up says so
};

}  // namespace ktest
