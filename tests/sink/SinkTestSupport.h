// A machine for the event sink and its handlers: three controllers (two of the supported driver
// velk4, one of the unsupported qtr), the driver loaded, the adapter table built and ROOT\WMI
// connected. Events are captured as WMI hands them to a sink, so that a test can call a handler
// directly and see both its result and its records.
#pragma once

#include "adapters/AdapterInfo.h"
#include "common/ComTypes.h"
#include "diagnostics/EventLog.h"
#include "common/Rundown.h"
#include "service/ServiceUtil.h"
#include "sink/Dispatcher.h"
#include "sink/WbemSink.h"
#include "support/Com.h"

#include <ksim/EventLog.h>

#include <functional>
#include <string>
#include <vector>

namespace ktest {

// The WMI codes the handlers answer with, as HRESULTs.
inline const HRESULT kFailed = static_cast<HRESULT>(WBEM_E_FAILED);
inline const HRESULT kInvalidParameter = static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
inline const HRESULT kNotFound = static_cast<HRESULT>(WBEM_E_NOT_FOUND);
inline const HRESULT kOutOfMemory = static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY);
inline const HRESULT kTypeMismatch = static_cast<HRESULT>(WBEM_E_TYPE_MISMATCH);

inline std::vector<Record> NoRecords() { return {}; }

// The record of an event whose adapter the table does not know, even once built anew.
inline Record UnknownAdapter(const char* pszEventClass, const std::string& instanceName) {
  return ServiceError(std::string("Received ") + pszEventClass + " event from unknown adapter\r\nInstanceName: " +
                      instanceName + "\r\n");
}

// The record of an event that could not be served: its instance could not be read (also when
// tried again), or the request could not be answered.
inline Record EventLost(const std::string& what, const std::string& driver, const std::string& why,
                        const std::string& instanceName, const std::string& error) {
  return Record{kServiceName, EVENTLOG_ERROR_TYPE, 0xC0002018,
                what + " of " + driver + " " + (what == "A firmware message" ? "is lost" : "is not answered") + ": " +
                    why + ".\r\nInstanceName: " + instanceName + "\r\nError: " + error + "\r\n"};
}

// The narrow form of an ASCII wide text, for comparing with records and call selectors.
inline std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

// The current reference count of a COM object.
inline ULONG Refs(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

// One more reference on a sim object, as a test's own.
template <class T>
CComRef<T> Share(T* p) {
  return CComRef<T>::Share(p);
}

// The protected statics of the sink, in reach of the tests.
class CWbemSinkProbe : public CWbemSink {
 public:
  using CWbemSink::ConvertClassPathSized;
  using CWbemSink::GetConvertClassPathSize;
  using CWbemSink::GetOPInst;
  using CWbemSink::RaidGetSecondsSince1970;
  using CWbemSink::RaidGetSystemTime;

 private:
  CWbemSinkProbe() = delete;
};

class SinkFixture : public ktest::ComFixture {
 protected:
  void SetUp() override {
    ComFixture::SetUp();
    CWMIServiceUtil::SetServiceName(kServiceName);
    ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo("velk4"));
    ksim::ClearEventLog();
  }

  void TearDown() override {
    EXPECT_TRUE(CRundown::Service().Close() || true);
    EXPECT_TRUE(CRundown::Service().WaitDrained(20000)) << "an event was not handled";
    EXPECT_EQ(0, CDispatcher::Stop(20000)) << "an event worker did not end";
    CRundown::Service().Open();
    m_services.Reset();
    CAdapterInfo::DeleteAdapterInfo(nullptr);
    CAdapterInfo::DeleteSupportedDriverInfo(nullptr);
    ComFixture::TearDown();
  }

  // Controllers A and B of velk4 and Q of qtr, the driver velk4 loaded, the table built and
  // ROOT\WMI connected. The log and the recorded calls start empty.
  void StartMachine() {
    ksim::machine::AddScsiController(kPathA, L"velk4");
    ksim::machine::AddScsiController(kPathB, L"velk4");
    ksim::machine::AddScsiController(kPathQ, L"qtr");
    ksim::machine::LoadRaidDriver(L"velk4");
    ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
    ASSERT_EQ(3u, CAdapterInfo::GetAdapterChannelCount());
    m_services = CComRef<IWbemServices>(Connect(ksim::wmi::kRootWmi));
    ASSERT_TRUE(m_services);
    ksim::ClearEventLog();
    ksim::ClearCalls();
  }

  // The first object that a subscriber of the query received when `raise` ran: an event
  // exactly as WMI hands it to a sink. The log and the recorded calls are cleared afterwards.
  CComRef<IWbemClassObject> Capture(const wchar_t* pwszQuery, const std::function<bool()>& raise) {
    CComRef<IWbemClassObject> pEvent;
    {
      ktest::FakeSink sink;
      CBSTR bstrWql(L"WQL"), bstrQuery(pwszQuery);
      EXPECT_EQ(WBEM_S_NO_ERROR,
                m_services->ExecNotificationQueryAsync(bstrWql.Get(), bstrQuery.Get(), 0, nullptr, &sink));
      EXPECT_TRUE(raise());
      EXPECT_TRUE(ksim::wmi::WaitIdle());
      EXPECT_EQ(WBEM_S_NO_ERROR, m_services->CancelAsyncCall(&sink));
      EXPECT_TRUE(ksim::wmi::WaitIdle());
      std::vector<IWbemClassObject*> objects = sink.Objects();
      EXPECT_EQ(1u, objects.size());
      if (!objects.empty()) pEvent = Share(objects[0]);
    }
    ksim::ClearEventLog();
    ksim::ClearCalls();
    return pEvent;
  }

  // A firmware message event; its Talvenix_AdapterPrintf instance stays in the repository.
  CComRef<IWbemClassObject> MessageEvent(const ksim::machine::FirmwareMessage& message) {
    return Capture(kQueryMessages, [&] { return ksim::machine::RaiseFirmwareMessage(message); });
  }
  CComRef<IWbemClassObject> MessageEvent(const std::wstring& path, LONG level, LONG number, const std::string& text) {
    return MessageEvent(ksim::machine::Message(path, level, number, text));
  }
  CComRef<IWbemClassObject> HostTimeEvent(const std::wstring& path, const ksim::wmi::Properties& overrides = {}) {
    return Capture(kQueryHostTime, [&] { return ksim::machine::RaiseHostTimeRequest(path, overrides); });
  }

  HRESULT HandleMessage(IWbemClassObject* pEvent) {
    return CWbemSink::IndEAdapterPrintfNotification(m_services.Get(), pEvent);
  }
  HRESULT HandleHostTime(IWbemClassObject* pEvent) {
    return CWbemSink::IndEHostTimeRequest(m_services.Get(), pEvent);
  }

  // A sink with the given handlers for the namespace, registered for the query. The caller
  // owns the construction reference.
  CWbemSink* Subscribe(const wchar_t* pwszQuery, IndicateHandler pfnIndicate, SetStatusHandler pfnSetStatus = nullptr) {
    CWbemSink* pSink = new CWbemSink(pfnIndicate, pfnSetStatus, m_services.Get());
    CBSTR bstrWql(L"WQL"), bstrQuery(pwszQuery);
    EXPECT_EQ(WBEM_S_NO_ERROR,
              m_services->ExecNotificationQueryAsync(bstrWql.Get(), bstrQuery.Get(), 0, nullptr, pSink));
    return pSink;
  }

  CComRef<IWbemServices> m_services;
};

}  // namespace ktest
