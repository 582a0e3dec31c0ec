// TIME_CREATED of the events the simulated WMI raises: WMI's own stamp when the raiser gave
// none, one value per event in every subscription's copy, and strictly increasing.
#include "support/Com.h"

#include <cwchar>

using ksim::machine::AddScsiController;
using ksim::wmi::Value;
using ktest::FakeSink;
using ktest::GetString;
using ktest::kPathA;
using ktest::kPathB;
using ktest::kQueryControllerAdded;
using ktest::kQueryHostTime;
using ktest::kQueryMessages;

namespace {

class EventTime : public ktest::ComFixture {
 protected:
  void SetUp() override {
    ComFixture::SetUp();
    // Far in the future, later for each test (stamps only ever rise within a process), and
    // standing still: every stamp is the clock's or just above the last.
    static WORD s_wYear = 2031;
    ksim::SetClock(ktest::Time(s_wYear++, 5, 6, 7, 8, 9));
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    m_ullClock = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    for (const wchar_t* pwsz : {ksim::wmi::kRootWmi, ksim::wmi::kRootCimv2}) {
      m_services.push_back(Connect(pwsz));
      ASSERT_TRUE(m_services.back());
    }
    ksim::machine::LoadRaidDriver();
    AddScsiController(kPathA, L"velk4");
  }
  void TearDown() override {
    ksim::wmi::WaitIdle();
    for (IWbemServices* p : m_services)
      if (p) p->Release();
    ksim::machine::Reset();
    ksim::UseRealClock();
    ComFixture::TearDown();
  }
  void Exec(IWbemServices* pServices, const wchar_t* pwszQuery, FakeSink* pSink) {
    BSTR bstrLanguage = SysAllocString(L"WQL");
    BSTR bstrQuery = SysAllocString(pwszQuery);
    EXPECT_EQ(WBEM_S_NO_ERROR, pServices->ExecNotificationQueryAsync(bstrLanguage, bstrQuery, 0, nullptr, pSink));
    SysFreeString(bstrLanguage);
    SysFreeString(bstrQuery);
    m_sinks.push_back(pSink);
  }
  // The TIME_CREATED of every object the sink received, in order; 0 for one that is no decimal string.
  static std::vector<ULONGLONG> Times(FakeSink& sink) {
    std::vector<ULONGLONG> times;
    for (IWbemClassObject* p : sink.Objects()) {
      const std::wstring text = GetString(p, L"TIME_CREATED");
      wchar_t* pEnd = nullptr;
      const ULONGLONG ull = std::wcstoull(text.c_str(), &pEnd, 10);
      times.push_back(!text.empty() && *pEnd == L'\0' ? ull : 0);
    }
    return times;
  }
  void CancelAll() {
    for (FakeSink* pSink : m_sinks)
      for (IWbemServices* p : m_services) p->CancelAsyncCall(pSink);
  }

  ULONGLONG m_ullClock = 0;
  std::vector<IWbemServices*> m_services;
  std::vector<FakeSink*> m_sinks;
};

TEST_F(EventTime, EveryCopyOfAnEventCarriesTheSameStrictlyIncreasingStamp) {
  FakeSink first, second;
  Exec(m_services[0], kQueryMessages, &first);
  Exec(m_services[0], kQueryHostTime, &first);
  Exec(m_services[0], kQueryMessages, &second);
  Exec(m_services[0], kQueryHostTime, &second);
  ASSERT_TRUE(ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 20, 0, "one")));
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  ASSERT_TRUE(ksim::machine::RaiseHostTimeRequest(kPathA));
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  ASSERT_TRUE(ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 30, 0, "two")));
  ASSERT_TRUE(ksim::wmi::WaitIdle());

  const std::vector<ULONGLONG> times = Times(first);
  ASSERT_EQ(3u, times.size());
  EXPECT_EQ(times, Times(second)) << "one event, one stamp, whoever gets it";
  // The clock stands still: the first stamp is the clock's FILETIME, the next ones just above.
  EXPECT_EQ(m_ullClock, times[0]);
  EXPECT_EQ(m_ullClock + 1, times[1]);
  EXPECT_EQ(m_ullClock + 2, times[2]);
  CancelAll();
}

TEST_F(EventTime, IntrinsicEventsShareTheSequence) {
  FakeSink messages, first, second;
  Exec(m_services[0], kQueryMessages, &messages);
  Exec(m_services[1], kQueryControllerAdded, &first);
  Exec(m_services[1], kQueryControllerAdded, &second);
  ASSERT_TRUE(ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 20, 0, "m")));
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  AddScsiController(kPathB, L"velk4");
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  ksim::AdvanceClock(1000);
  ASSERT_TRUE(ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 20, 1, "m")));
  ASSERT_TRUE(ksim::wmi::WaitIdle());

  const std::vector<ULONGLONG> controller = Times(first);
  ASSERT_EQ(1u, controller.size());
  EXPECT_EQ(controller, Times(second));
  const std::vector<ULONGLONG> message = Times(messages);
  ASSERT_EQ(2u, message.size());
  EXPECT_LT(message[0], controller[0]);
  EXPECT_LT(controller[0], message[1]);
  EXPECT_EQ(m_ullClock + 1000 * 10000, message[1]) << "a clock that moved on is taken as it is";
  CancelAll();
}

// A raiser that sets TIME_CREATED itself keeps its value; WMI stamps only what has none.
TEST_F(EventTime, AGivenTimeIsKept) {
  FakeSink sink;
  Exec(m_services[0], kQueryHostTime, &sink);
  ASSERT_TRUE(ksim::machine::RaiseHostTimeRequest(kPathA, {{L"TIME_CREATED", Value::Str(L"42")}}));
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  ASSERT_TRUE(ksim::machine::RaiseHostTimeRequest(kPathA));
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_EQ((std::vector<ULONGLONG>{42, m_ullClock}), Times(sink));
  const std::vector<IWbemClassObject*> objects = sink.Objects();
  ASSERT_EQ(2u, objects.size());
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(WBEM_S_NO_ERROR, objects[1]->Get(L"TIME_CREATED", 0, &v, nullptr, nullptr));
  EXPECT_EQ(VT_BSTR, v.vt) << "uint64 travels as a decimal string";
  VariantClear(&v);
  CancelAll();
}

}  // namespace
