// Host-time requests: the time arithmetic, the object-path helpers, the SetAdapterTime call and
// its record, and every failure on the way.
#include "SinkTestSupport.h"

#include <ksim/Host.h>

#include <climits>

namespace ktest {
namespace {

const ULONGLONG kTicksPerSecond = 10000000;
const ULONGLONG kSeconds1601To1970 = 11644473600ULL;

// A FILETIME count for whole seconds since 1970-01-01 UTC.
ULARGE_INTEGER Since1970(ULONGLONG ullSeconds) {
  ULARGE_INTEGER uli;
  uli.QuadPart = (ullSeconds + kSeconds1601To1970) * kTicksPerSecond;
  return uli;
}

ULARGE_INTEGER Ticks(ULONGLONG ullTicks) {
  ULARGE_INTEGER uli;
  uli.QuadPart = ullTicks;
  return uli;
}

std::wstring Escaped(const std::wstring& s) {
  std::wstring out;
  for (wchar_t c : s) {
    out += c;
    if (c == L'\\') out += L'\\';
  }
  return out;
}

Record Sent(const std::string& when, const std::string& driver = "velk4") {
  return Record{kServiceName, EVENTLOG_INFORMATION_TYPE, 0x40002002,
                "Sent host time of " + when + " to \\Device\\SCSI\\" + driver + "\r\n"};
}

TEST(HostTimeArithmetic, SecondsSince1970AreTakenModulo2To32) {
  const struct {
    ULARGE_INTEGER uli;
    DWORD dwSeconds;
  } cases[] = {
      {Ticks(0), 0},
      {Since1970(0), 0},
      {Since1970(1009843200), 1009843200},                  // 2002-01-01 00:00:00
      {Ticks(Since1970(1009843200).QuadPart + 9999999), 1009843200},  // parts of a second are cut
      {Since1970(0x80000000ULL), 0x80000000},               // 2038-01-19 03:14:08
      {Since1970(0x100000000ULL), 0},                       // 2106-02-07 06:28:16
      {Since1970(0x100000005ULL), 5},
      {Ticks(kTicksPerSecond), 0x49EF6F01},  // one second after 1601 is before 1970: it wraps
  };
  for (const auto& c : cases) {
    DWORD dwSeconds = 0xDEADBEEF;
    EXPECT_EQ(ecNoError, CWbemSinkProbe::RaidGetSecondsSince1970(c.uli, &dwSeconds));
    EXPECT_EQ(c.dwSeconds, dwSeconds) << c.uli.QuadPart;
  }
}

class HostTimeClock : public ::testing::Test {
 protected:
  void SetUp() override { ksim::ClearCalls(); }
  void TearDown() override { ksim::UseRealClock(); }
};

TEST_F(HostTimeClock, TheValueIsUtcAndTheLocalTimeFollowsTheBias) {
  ksim::SetClock(Time(2002, 1, 2, 17, 5, 3), 480);
  DWORD dwSeconds = 0;
  SYSTEMTIME stLocal = {};
  EXPECT_EQ(ecNoError, CWbemSinkProbe::RaidGetSystemTime(&dwSeconds, &stLocal));
  EXPECT_EQ(1009843200u + 86400 + 17 * 3600 + 5 * 60 + 3, dwSeconds);
  EXPECT_EQ(2002, stLocal.wYear);
  EXPECT_EQ(1, stLocal.wMonth);
  EXPECT_EQ(2, stLocal.wDay);
  EXPECT_EQ(9, stLocal.wHour);
  EXPECT_EQ(5, stLocal.wMinute);
  EXPECT_EQ(3, stLocal.wSecond);
  // The local reading comes first.
  std::vector<ksim::Call> calls = ksim::Calls();
  std::vector<std::string> names;
  for (const ksim::Call& c : calls)
    if (c.call == "GetLocalTime" || c.call == "GetSystemTime") names.push_back(c.call);
  EXPECT_EQ((std::vector<std::string>{"GetLocalTime", "GetSystemTime"}), names);
}

TEST_F(HostTimeClock, AFailedConversionGivesTheSystemErrorCode) {
  ksim::ScopedFault fault(Fault("SystemTimeToFileTime").LastError(ERROR_INVALID_PARAMETER));
  DWORD dwSeconds = 0;
  SYSTEMTIME stLocal = {};
  EXPECT_EQ(CError::MapSystemError(ERROR_INVALID_PARAMETER), CWbemSinkProbe::RaidGetSystemTime(&dwSeconds, &stLocal));
}

TEST(ObjectPath, EveryBackslashAndDoubleQuoteIsEscapedAndNothingElseChanges) {
  const struct {
    const wchar_t* pwszValue;
    const wchar_t* pwszEscaped;
  } cases[] = {
      {L"", L""},
      {L"abc", L"abc"},
      {L"a\\b", L"a\\\\b"},
      {L"x\\\\y", L"x\\\\\\\\y"},  // two backslashes become four
      {L"\\", L"\\\\"},
      {L"say \"hi\"", L"say \\\"hi\\\""},
      {L"a\\\"b", L"a\\\\\\\"b"},
  };
  for (const auto& c : cases) {
    DWORD dwSize = 0;
    EXPECT_EQ(ecNoError, CWbemSinkProbe::GetConvertClassPathSize(c.pwszValue, &dwSize));
    EXPECT_EQ(wcslen(c.pwszEscaped) + 1, dwSize);
    // The exact size is enough; one less is not, and nothing is written past the size.
    std::vector<wchar_t> buffer(dwSize + 1, L'#');
    EXPECT_EQ(ecNoError, CWbemSinkProbe::ConvertClassPathSized(c.pwszValue, buffer.data(), dwSize));
    EXPECT_EQ(std::wstring(c.pwszEscaped), std::wstring(buffer.data()));
    EXPECT_EQ(L'#', buffer[dwSize]);
    if (dwSize > 1) {
      std::vector<wchar_t> small(dwSize, L'#');
      EXPECT_EQ(ecTimeout, CWbemSinkProbe::ConvertClassPathSized(c.pwszValue, small.data(), dwSize - 1));
      EXPECT_EQ(L'#', small[dwSize - 1]);
      EXPECT_NE(nullptr, wmemchr(small.data(), L'\0', dwSize - 1)) << "not terminated";
    }
  }
  wchar_t wch = L'#';
  EXPECT_EQ(ecTimeout, CWbemSinkProbe::ConvertClassPathSized(L"a", &wch, 0));
  EXPECT_EQ(L'#', wch);
}

class ObjectPathStrings : public ktest::ComFixture {};

TEST_F(ObjectPathStrings, TheInstancePathIsBuiltAndEveryStringFreed) {
  CVARIANT varPath;
  ASSERT_EQ(S_OK, varPath.SetBSTR(L"old"));
  EXPECT_EQ(ecNoError, CWbemSinkProbe::GetOPInst(CBSTR(L"Talvenix_SetHostTime"), CBSTR(L"InstanceName"),
                                                 CBSTR(L"PCI\\\\VEN_1\\\\4&1_0"), varPath.Put()));
  ASSERT_EQ(VT_BSTR, varPath.Type());
  EXPECT_EQ(std::wstring(L"Talvenix_SetHostTime.InstanceName=\"PCI\\\\VEN_1\\\\4&1_0\""),
            std::wstring(varPath.Get()->bstrVal));
}

TEST_F(ObjectPathStrings, WithoutMemoryThePathIsLeftAlone) {
  const std::wstring path = L"C.K=\"V\"";
  for (const ksim::Fault& f : {Fault("operator new").On(std::to_string((path.size() + 1) * sizeof(wchar_t))).Nth(1),
                               Fault("SysAllocString").On("C.K=\"V\"")}) {
    CVARIANT varPath;
    varPath.SetI4(42);
    ksim::ScopedFault fault(f);
    EXPECT_EQ(ecOutOfMemory, CWbemSinkProbe::GetOPInst(CBSTR(L"C"), CBSTR(L"K"), CBSTR(L"V"), varPath.Ptr()));
    EXPECT_EQ(1u, fault.Hits());
    EXPECT_EQ(VT_I4, varPath.Type());
    EXPECT_EQ(42, varPath.Get()->lVal);
  }
}

class HostTime : public SinkFixture {
 protected:
  void SetUp() override {
    SinkFixture::SetUp();
    StartMachine();
    ksim::SetClock(Time(2002, 1, 2, 9, 5, 3));
  }
  void TearDown() override {
    ksim::UseRealClock();
    SinkFixture::TearDown();
  }

  HRESULT Handle(const std::wstring& path, const ksim::wmi::Properties& overrides = {}) {
    CComRef<IWbemClassObject> pEvent = HostTimeEvent(path, overrides);
    if (!pEvent) return E_UNEXPECTED;
    return HandleHostTime(pEvent.Get());
  }

  static std::wstring InstancePath(const std::wstring& instanceName) {
    return L"Talvenix_SetHostTime.InstanceName=\"" + Escaped(instanceName) + L"\"";
  }

  CComRef<IWbemClassObject> Instance(const std::wstring& path) {
    CComRef<IWbemClassObject> pInstance;
    EXPECT_EQ(WBEM_S_NO_ERROR,
              m_services->GetObject(CBSTR(InstancePath(ksim::machine::InstanceNameOf(path)).c_str()).Get(), 0, nullptr,
                                    pInstance.Put(), nullptr));
    return pInstance;
  }
};

TEST_F(HostTime, TheRequestingAdapterGetsTheUtcTimeAndTheLogShowsTheLocalTime) {
  const struct {
    SYSTEMTIME stUtc;
    LONG lBias;
    LONG lHostTime;
    std::string when;
  } cases[] = {
      {Time(2002, 1, 2, 9, 5, 3), 0, 1009962303, "9:5:3 of 1/2/2002"},
      {Time(2002, 1, 2, 17, 5, 3), 480, 1009991103, "9:5:3 of 1/2/2002"},
      {Time(2002, 1, 1, 0, 0, 0), -60, 1009843200, "1:0:0 of 1/1/2002"},
      {Time(2038, 1, 19, 3, 14, 8), 0, INT_MIN, "3:14:8 of 1/19/2038"},
  };
  const std::wstring name = ksim::machine::InstanceNameOf(kPathA);
  for (const auto& c : cases) {
    ksim::SetClock(c.stUtc, c.lBias);
    const size_t nBefore = ksim::machine::SetAdapterTimeCalls().size();
    EXPECT_EQ(S_OK, Handle(kPathA));
    EXPECT_EQ(std::vector<Record>{Sent(c.when)}, Records());
    std::vector<ksim::machine::SetAdapterTimeCall> calls = ksim::machine::SetAdapterTimeCalls();
    ASSERT_EQ(nBefore + 1, calls.size());
    EXPECT_EQ(name, calls.back().instanceName);
    EXPECT_EQ(InstancePath(name), calls.back().objectPath);
    EXPECT_EQ(VT_I4, calls.back().hostTimeType);
    EXPECT_EQ(c.lHostTime, calls.back().hostTime.value_or(0));
  }
}

TEST_F(HostTime, TheAdapterIsFoundWhateverTheCaseAndThePathCarriesTheWholeEscapedName) {
  std::wstring lower = ksim::machine::InstanceNameOf(kPathB);
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  EXPECT_EQ(S_OK, Handle(kPathB, {{L"InstanceName", ksim::wmi::Value::Str(lower)}}));
  EXPECT_EQ(std::vector<Record>{Sent("9:5:3 of 1/2/2002")}, Records());
  std::vector<ksim::Call> calls = ksim::Calls("IWbemServices::GetObject");
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(Narrow(InstancePath(lower)), calls[0].selector);
  EXPECT_EQ("Talvenix_SetHostTime", calls[1].selector);
  ASSERT_EQ(1u, ksim::machine::SetAdapterTimeCalls().size());
  EXPECT_EQ(ksim::machine::InstanceNameOf(kPathB), ksim::machine::SetAdapterTimeCalls()[0].instanceName);
}

TEST_F(HostTime, ARequestOfAnUnknownAdapterIsReportedAndNotAnswered) {
  const struct {
    ksim::wmi::Properties overrides;
    std::string shown;
  } odd[] = {
      {{{L"InstanceName", ksim::wmi::Value::Str(ksim::machine::InstanceNameOf(kPathUnknown))}},
       Narrow(ksim::machine::InstanceNameOf(kPathUnknown))},
      {{{L"InstanceName", ksim::wmi::Value::I4(7)}}, ""},
      {{{L"InstanceName", ksim::wmi::Value::Null()}}, ""},
      {{{L"InstanceName", ksim::wmi::Value::Str(L"")}}, ""},
      {{{L"InstanceName", ksim::wmi::Value::Str(L"Y")}}, "Y"},
  };
  for (const auto& o : odd) {
    EXPECT_EQ(kFailed, Handle(kPathA, o.overrides));
    EXPECT_EQ(std::vector<Record>{UnknownAdapter("Talvenix_HostTimeRequest", o.shown)}, Records());
    EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::GetObject"));
  }
  EXPECT_TRUE(ksim::machine::SetAdapterTimeCalls().empty());
}

TEST_F(HostTime, EveryFailureHasItsRecordAndResult) {
  const std::wstring name = ksim::machine::InstanceNameOf(kPathA);
  const std::wstring path = InstancePath(name);
  auto newOf = [](size_t cb) { return Fault("operator new").On(std::to_string(cb)).Nth(1); };
  auto failing = [](const char* pszCall, const std::string& selector, HRESULT hr, unsigned occurrence = 0) {
    return Fault(pszCall).On(selector).Nth(occurrence).Returns(hr);
  };
  auto lostWhy = [&](const std::string& why, const std::string& error) {
    return EventLost("A host-time request", "velk4", why, Narrow(name), error);
  };
  auto lost = [&](const std::string& error) {
    return lostWhy("its Talvenix_SetHostTime instance could not be read", error);
  };
  const Record noPath = lostWhy("no object path could be made of its name", "WBEM_E_FAILED(0x80041001)");
  // A step of the answer that failed three times, or once with a refusal: its record, and the
  // request's.
  auto unanswered = [&](const std::string& text, const std::string& error) {
    return std::vector<Record>{ServiceError(text), lostWhy("SetAdapterTime could not be called", error)};
  };
  const struct {
    ksim::Fault fault;
    HRESULT hr;
    std::vector<Record> records;
  } cases[] = {
      {failing("IWbemClassObject::Get", "InstanceName", kNotFound),
       kInvalidParameter,
       {ServiceError("Receive HostTimeRequest events, but failed to get InstanceName properties. Error: "
                     "WBEM_E_NOT_FOUND\r\n")}},
      {Fault("SysAllocString").On("Talvenix_SetHostTime").Nth(1), kFailed, {noPath}},
      {newOf((path.size() + 1) * sizeof(wchar_t)), kFailed, {noPath}},
      // Tried three times, then the request goes unanswered, and the log says so.
      {failing("IWbemServices::GetObject", Narrow(path), kNotFound), kFailed, {lost("WBEM_E_NOT_FOUND(0x80041002)")}},
      {failing("IWbemServices::GetObject", Narrow(path), S_OK), kFailed, {lost("WBEM_E_NOT_FOUND(0x80041002)")}},
      {failing("IWbemServices::GetObject", "Talvenix_SetHostTime", kNotFound), kFailed,
       unanswered("Failed to get class definition of Talvenix_SetHostTime. Error: WBEM_E_NOT_FOUND\r\n",
                  "WBEM_E_NOT_FOUND(0x80041002)")},
      {failing("IWbemServices::GetObject", "Talvenix_SetHostTime", S_OK), kFailed,
       unanswered("Failed to get class definition of Talvenix_SetHostTime. Error: WBEM_NO_ERROR\r\n",
                  "WBEM_E_FAILED(0x80041001)")},
      {failing("IWbemClassObject::GetMethod", "SetAdapterTime", kNotFound), kFailed,
       unanswered("Failed to get input parameters of SetAdapterTime function. Error: WBEM_E_NOT_FOUND\r\n",
                  "WBEM_E_NOT_FOUND(0x80041002)")},
      {failing("IWbemClassObject::SpawnInstance", "", kFailed), kFailed,
       unanswered("Failed to spawn an instance of input parameters of SetAdapterTime function. Error: "
                  "WBEM_E_FAILED\r\n",
                  "WBEM_E_FAILED(0x80041001)")},
      {Fault("SystemTimeToFileTime").LastError(ERROR_INVALID_PARAMETER), kFailed,
       {lostWhy("the host's time could not be read", "WBEM_E_FAILED(0x80041001)")}},
      {failing("IWbemClassObject::Put", "HostTime", kTypeMismatch), kFailed,
       unanswered("Failed to set HostTime parameter of SetAdapterTime function. Error: WBEM_E_TYPE_MISMATCH\r\n",
                  "WBEM_E_TYPE_MISMATCH(0x80041005)")},
      {failing("IWbemClassObject::Get", "__RELPATH", kNotFound), kFailed,
       unanswered("Failed to get RELPATH of Talvenix_SetHostTime class. Error: WBEM_E_NOT_FOUND\r\n",
                  "WBEM_E_NOT_FOUND(0x80041002)")},
      {failing("IWbemServices::ExecMethod", "SetAdapterTime", static_cast<HRESULT>(WBEM_E_PROVIDER_FAILURE)), kFailed,
       unanswered("Failed to execute method: SetAdapterTime. Error: WBEM_E_PROVIDER_FAILURE\r\n",
                  "WBEM_E_PROVIDER_FAILURE(0x80041004)")},
      // Busy once: the second try answers.
      {failing("IWbemServices::GetObject", "Talvenix_SetHostTime", kFailed, 1), S_OK, {Sent("9:5:3 of 1/2/2002")}},
  };
  for (const auto& c : cases) {
    CComRef<IWbemClassObject> pEvent = HostTimeEvent(kPathA);
    ASSERT_TRUE(pEvent);
    ksim::ScopedFault fault(c.fault);
    EXPECT_EQ(c.hr, HandleHostTime(pEvent.Get())) << c.fault.call << " " << c.fault.selector;
    EXPECT_EQ(c.records, Records()) << c.fault.call << " " << c.fault.selector;
    EXPECT_EQ(SUCCEEDED(c.hr) ? 1u : 0u, ksim::machine::SetAdapterTimeCalls().size())
        << c.fault.call << " " << c.fault.selector;
    EXPECT_LE(1u, fault.Hits()) << c.fault.call << " " << c.fault.selector;
  }
}

TEST_F(HostTime, ADriverThatRefusesTheTimeIsReported) {
  ksim::machine::SetSetAdapterTimeResult(static_cast<HRESULT>(WBEM_E_ACCESS_DENIED));
  EXPECT_EQ(kFailed, Handle(kPathA));
  // A refusal is not tried again: the driver would refuse again.
  EXPECT_EQ((std::vector<Record>{
                ServiceError("Failed to execute method: SetAdapterTime. Error: WBEM_E_ACCESS_DENIED\r\n"),
                EventLost("A host-time request", "velk4", "SetAdapterTime could not be called",
                          Narrow(ksim::machine::InstanceNameOf(kPathA)), "WBEM_E_ACCESS_DENIED(0x80041003)")}),
            Records());
  EXPECT_EQ(1u, ksim::machine::SetAdapterTimeCalls().size());
}

TEST_F(HostTime, AnAdapterThatLeftTheTablePrintsNoDriverName) {
  CComRef<IWbemClassObject> pInstance = Instance(kPathA);
  ASSERT_TRUE(pInstance);
  EXPECT_EQ(S_OK, CWbemSink::HostTimeRequest(m_services.Get(), pInstance.Get(), 3));
  EXPECT_EQ(std::vector<Record>{Sent("9:5:3 of 1/2/2002", "")}, Records());
}

TEST_F(HostTime, AnInstanceWithoutRelativePathGetsNoMethodCall) {
  // An instance that was never stored has no __RELPATH: the method is executed on no path.
  CComRef<IWbemClassObject> pClass, pNew;
  ASSERT_EQ(WBEM_S_NO_ERROR,
            m_services->GetObject(CBSTR(L"Talvenix_SetHostTime").Get(), 0, nullptr, pClass.Put(), nullptr));
  ASSERT_EQ(WBEM_S_NO_ERROR, pClass->SpawnInstance(0, pNew.Put()));
  ksim::ClearEventLog();
  EXPECT_EQ(kFailed, CWbemSink::HostTimeRequest(m_services.Get(), pNew.Get(), 0));
  EXPECT_EQ((std::vector<Record>{
                ServiceError("Failed to execute method: SetAdapterTime. Error: WBEM_E_INVALID_PARAMETER\r\n"),
                EventLost("A host-time request", "velk4", "SetAdapterTime could not be called", "",
                          "WBEM_E_INVALID_PARAMETER(0x80041008)")}),
            Records());
  EXPECT_TRUE(ksim::machine::SetAdapterTimeCalls().empty());
}

TEST_F(HostTime, EveryRequestThroughARegisteredSinkIsAnswered) {
  CWbemSink* pSink = Subscribe(kQueryHostTime, CWbemSink::IndEHostTimeRequest);
  for (const wchar_t* pwszPath : {kPathA, kPathB, kPathUnknown}) {
    ASSERT_TRUE(ksim::machine::RaiseHostTimeRequest(pwszPath));
    Settle();
  }
  EXPECT_EQ((std::vector<Record>{Sent("9:5:3 of 1/2/2002"), Sent("9:5:3 of 1/2/2002"),
                                 UnknownAdapter("Talvenix_HostTimeRequest",
                                                Narrow(ksim::machine::InstanceNameOf(kPathUnknown)))}),
            Records());
  std::vector<ksim::machine::SetAdapterTimeCall> calls = ksim::machine::SetAdapterTimeCalls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(ksim::machine::InstanceNameOf(kPathA), calls[0].instanceName);
  EXPECT_EQ(ksim::machine::InstanceNameOf(kPathB), calls[1].instanceName);
  EXPECT_EQ(WBEM_S_NO_ERROR, m_services->CancelAsyncCall(pSink));
  pSink->Release();
}

}  // namespace
}  // namespace ktest
