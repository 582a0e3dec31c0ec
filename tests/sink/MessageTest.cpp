// Controller messages: from a Talvenix_AdapterPrintfNotification event to one controller record,
// with every failure and every odd value a driver may hand over.
#include "SinkTestSupport.h"

#include <algorithm>

namespace ktest {
namespace {

using ksim::machine::FirmwareMessage;
using ksim::wmi::Value;

// A value of any variant type, made by `set` on an empty variant of that type.
Value Variant(VARTYPE vt, const std::function<void(VARIANT&)>& set) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  set(v);
  Value value(v);
  VariantClear(&v);
  return value;
}

// An array value: elements of type vtElement, one dimension from lLower, or two dimensions
// of 1 x n; one-byte elements hold the bytes.
Value Array(VARTYPE vtElement, const std::vector<BYTE>& bytes, LONG lLower = 0, UINT cDims = 1) {
  SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(bytes.size()), lLower}, {1, 0}};
  SAFEARRAY* psa = SafeArrayCreate(vtElement, cDims, bounds);
  if (psa && SafeArrayGetElemsize(psa) == 1 && !bytes.empty()) memcpy(psa->pvData, bytes.data(), bytes.size());
  return Variant(static_cast<VARTYPE>(VT_ARRAY | vtElement), [&](VARIANT& v) { v.parray = psa; });
}

std::string Escaped(const std::wstring& s) {
  std::string out;
  for (wchar_t c : s) {
    out += static_cast<char>(c);
    if (c == L'\\') out += '\\';
  }
  return out;
}

// The controller record of velk4 for adapter number 0 and the text.
Record Velk4(const std::string& text, WORD wType = EVENTLOG_INFORMATION_TYPE, DWORD dwId = 0x41011000) {
  return Record{"velk4", wType, dwId, "\\Device\\Scsi\\velk40: " + text};
}

class Messages : public SinkFixture {
 protected:
  void SetUp() override {
    SinkFixture::SetUp();
    StartMachine();
  }

  // Raises the message, handles its event directly, and returns the handler's result.
  HRESULT Handle(const FirmwareMessage& message) {
    CComRef<IWbemClassObject> pEvent = MessageEvent(message);
    if (!pEvent) return E_UNEXPECTED;
    return HandleMessage(pEvent.Get());
  }

  static FirmwareMessage Hello(const ksim::wmi::Properties& printfOverrides = {}) {
    FirmwareMessage m = ksim::machine::Message(kPathA, 20, 0, "hello");
    m.printfOverrides = printfOverrides;
    return m;
  }
};

TEST_F(Messages, TheLevelChoosesTypeAndIdentifierAndTheDriverIsTheSource) {
  const struct {
    LONG lLevel;
    WORD wType;
    DWORD dwId;
  } cases[] = {
      {20, EVENTLOG_INFORMATION_TYPE, 0x41011000}, {30, EVENTLOG_WARNING_TYPE, 0x81011001},
      {10, EVENTLOG_ERROR_TYPE, 0xC1011002},       {40, EVENTLOG_ERROR_TYPE, 0xC1011002},
      {0, EVENTLOG_ERROR_TYPE, 0xC1011002},        {21, EVENTLOG_ERROR_TYPE, 0xC1011002},
      {-20, EVENTLOG_ERROR_TYPE, 0xC1011002},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(S_OK, Handle(ksim::machine::Message(kPathB, c.lLevel, 12, "disk 3 rebuilt")));
    EXPECT_EQ(std::vector<Record>{Record({"velk4", c.wType, c.dwId, "\\Device\\Scsi\\velk412: disk 3 rebuilt"})},
              Records())
        << c.lLevel;
  }
}

TEST_F(Messages, TheTextIsDataCutAt256BytesOrAtANul) {
  std::string s300;
  for (int i = 0; i < 300; ++i) s300 += static_cast<char>('A' + i % 26);
  std::string s20 = "abcde";
  s20 += '\0';
  s20 += "fghijklmnopqr";
  const struct {
    std::vector<BYTE> bytes;
    std::optional<LONG> length;
    std::string text;
    size_t nFetched;
  } cases[] = {
      {ksim::machine::Text("100% done %s %1 %n %%"), {}, "100% done %s %1 %n %%", 21},
      {ksim::machine::Text(s300), {}, s300.substr(0, 256), 256},
      {ksim::machine::Text(s20), {}, "abcde", 6},
      {ksim::machine::Text("abcdef"), 3, "abc", 3},
      // The array holds fewer bytes than Length says: only those reach the record.
      {ksim::machine::Text("abcd"), 10, "abcd", 4},
      {{}, 5, "", 0},
      {{0xE9, 0x80, 0xFF, '\t'}, {}, "\xE9\x80\xFF\t", 4},
  };
  for (const auto& c : cases) {
    ksim::ClearCalls();
    FirmwareMessage m = ksim::machine::Message(kPathA, 20, 0, "");
    m.bytes = c.bytes;
    m.length = c.length;
    EXPECT_EQ(S_OK, Handle(m)) << c.text;
    EXPECT_EQ(std::vector<Record>{Velk4(c.text)}, Records());
    // The bytes are read in place, and the array is left unlocked.
    EXPECT_EQ(c.nFetched ? 1u : 0u, ksim::CountCalls("SafeArrayAccessData")) << c.text;
    EXPECT_EQ(ksim::CountCalls("SafeArrayAccessData"), ksim::CountCalls("SafeArrayUnaccessData")) << c.text;
  }
}

TEST_F(Messages, ALengthOfZeroLogsNothing) {
  FirmwareMessage m = Hello();
  m.length = 0;
  EXPECT_EQ(S_OK, Handle(m));
  EXPECT_EQ(NoRecords(), Records());
  EXPECT_EQ(0u, ksim::CountCalls("IWbemClassObject::Get", "PrintfString"));
}

// The message whose text could not be read: its record, and the record that it is lost.
Record MessageLost(HRESULT hr) {
  char szError[128];
  snprintf(szError, sizeof(szError), "%s(0x%08x)", CError::ErrorString(hr), static_cast<unsigned>(hr));
  return EventLost("A firmware message", "velk4", "its Talvenix_AdapterPrintf instance could not be read",
                   Narrow(ksim::machine::InstanceNameOf(kPathA)), szError);
}

TEST_F(Messages, BytesThatCannotBeReadAreAFailureToGetTheMessage) {
  ksim::ScopedFault fault(Fault("SafeArrayAccessData").Returns(static_cast<HRESULT>(E_UNEXPECTED)));
  EXPECT_EQ(kFailed, Handle(Hello()));
  EXPECT_EQ((std::vector<Record>{
                ServiceError(std::string("Failed to get Message. Error: ") + CError::ErrorString(E_UNEXPECTED) + "\r\n"),
                MessageLost(E_UNEXPECTED)}),
            Records());
}

TEST_F(Messages, TheAdapterIsFoundWhateverTheCaseAndThePathCarriesTheWholeEscapedName) {
  std::wstring lower = ksim::machine::InstanceNameOf(kPathA), upper = lower;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
  std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
  for (const std::wstring& name : {lower, upper}) {
    ksim::ClearCalls();
    FirmwareMessage m = Hello();
    m.instanceName = name;
    EXPECT_EQ(S_OK, Handle(m));
    EXPECT_EQ(std::vector<Record>{Velk4("hello")}, Records());
    std::vector<ksim::Call> calls = ksim::Calls("IWbemServices::GetObject");
    ASSERT_EQ(1u, calls.size());
    // Four backslashes where the name has two, and the name's last two characters kept.
    EXPECT_EQ("Talvenix_AdapterPrintf.InstanceName=\"" + Escaped(name) + "\"", calls[0].selector);
  }
}

TEST_F(Messages, AnEventOfAnUnknownAdapterIsReportedAndFails) {
  EXPECT_EQ(kFailed, Handle(ksim::machine::Message(kPathUnknown, 20, 0, "lost")));
  EXPECT_EQ(std::vector<Record>{UnknownAdapter("Talvenix_AdapterPrintfNotification",
                                               Narrow(ksim::machine::InstanceNameOf(kPathUnknown)))},
            Records());
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::GetObject"));
}

TEST_F(Messages, AnEventOfAnUnsupportedDriverIsDroppedSilently) {
  EXPECT_EQ(S_OK, Handle(ksim::machine::Message(kPathQ, 20, 0, "not ours")));
  EXPECT_EQ(NoRecords(), Records());
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::GetObject"));
}

TEST_F(Messages, InABatchAnUnsupportedDriverAndAnUnknownAdapterEndOnlyThemselves) {
  CComRef<IWbemClassObject> pQ = MessageEvent(kPathQ, 20, 0, "not ours");
  CComRef<IWbemClassObject> pUnknown = MessageEvent(kPathUnknown, 20, 0, "lost");
  CComRef<IWbemClassObject> pA = MessageEvent(kPathA, 20, 0, "hello");
  CWbemSink* pSink = new CWbemSink(CWbemSink::IndEAdapterPrintfNotification, nullptr, m_services.Get());

  std::vector<IWbemClassObject*> batch = {pQ.Get(), pA.Get()};
  EXPECT_EQ(S_OK, pSink->Indicate(2, batch.data()));
  Settle();
  EXPECT_EQ(std::vector<Record>{Velk4("hello")}, Records());

  ksim::ClearEventLog();
  batch = {pUnknown.Get(), pA.Get()};
  EXPECT_EQ(S_OK, pSink->Indicate(2, batch.data()));
  Settle();
  std::vector<Record> records = Records();
  std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.source < b.source; });
  EXPECT_EQ((std::vector<Record>{UnknownAdapter("Talvenix_AdapterPrintfNotification",
                                                Narrow(ksim::machine::InstanceNameOf(kPathUnknown))),
                                 Velk4("hello")}),
            records);
  pSink->Release();
}

TEST_F(Messages, AnInstanceNameThatIsNoDeviceIdNamesNoAdapter) {
  const struct {
    Value value;
    const char* pszShown;
  } values[] = {{Value::I4(5), ""}, {Value::Null(), ""}, {Value::Str(L""), ""}, {Value::Str(L"X"), "X"},
                {Value::Str(L"_0"), "_0"}};
  for (const auto& v : values) {
    FirmwareMessage m = Hello();
    m.notificationOverrides = {{L"InstanceName", v.value}};
    EXPECT_EQ(kFailed, Handle(m));
    EXPECT_EQ(std::vector<Record>{UnknownAdapter("Talvenix_AdapterPrintfNotification", v.pszShown)}, Records());
  }
  FirmwareMessage m = Hello();
  m.notificationOverrides = {{L"InstanceName", std::nullopt}};
  EXPECT_EQ(kInvalidParameter, Handle(m));
  EXPECT_EQ(std::vector<Record>{ServiceError(
                "Receive AdapterPrintfNotification event, but failed to get InstanceName properties. Error: "
                "WBEM_E_NOT_FOUND\r\n")},
            Records());
}

// Short names are cut and escaped on the stack; a name of more than 256 characters goes to the
// heap, where memory can run out.
TEST_F(Messages, ALongInstanceNameIsHandledAndItsBuffersMayFail) {
  const std::wstring path = L"PCI\\VEN_ABCD&DEV_1234\\" + std::wstring(300, L'7');
  ksim::machine::AddScsiController(path.c_str(), L"velk4");
  ASSERT_EQ(ecNoError, CAdapterInfo::RescanAdapterInfo());
  const std::wstring name = ksim::machine::InstanceNameOf(path.c_str());
  const std::string escaped = Escaped(name);
  const std::string source = "\\Device\\Scsi\\velk43: ";

  EXPECT_EQ(S_OK, Handle(ksim::machine::Message(path.c_str(), 20, 3, "long")));
  EXPECT_EQ(std::vector<Record>{Record({"velk4", EVENTLOG_INFORMATION_TYPE, 0x41011000, source + "long"})}, Records());

  const struct {
    size_t cbAllocation;
    std::vector<Record> records;
  } cases[] = {
      {(name.size() - 1) * sizeof(wchar_t), {}},  // the device ID
      {(escaped.size() + 1) * sizeof(wchar_t), {ServiceError("Out of Memory at Indicate_AdapterPrintfNotification()\r\n")}},
  };
  for (const auto& c : cases) {
    ksim::ClearEventLog();
    CComRef<IWbemClassObject> pEvent = MessageEvent(ksim::machine::Message(path.c_str(), 20, 3, "long"));
    ASSERT_TRUE(pEvent);
    ksim::ScopedFault fault(Fault("operator new").On(std::to_string(c.cbAllocation)).Nth(1));
    EXPECT_EQ(kFailed, HandleMessage(pEvent.Get())) << c.cbAllocation;
    EXPECT_EQ(1u, fault.Hits()) << c.cbAllocation;
    EXPECT_EQ(c.records, Records()) << c.cbAllocation;
  }
}

TEST_F(Messages, EveryFailureHasItsRecordAndResult) {
  const std::wstring name = ksim::machine::InstanceNameOf(kPathA);
  const std::string escaped = Escaped(name);
  const std::wstring path = L"Talvenix_AdapterPrintf.InstanceName=\"" + std::wstring(escaped.begin(), escaped.end()) + L"\"";
  auto newOf = [](size_t cb) { return Fault("operator new").On(std::to_string(cb)).Nth(1); };
  auto getOf = [](const char* pszProperty, HRESULT hr, unsigned occurrence = 0) {
    return Fault("IWbemClassObject::Get").On(pszProperty).Nth(occurrence).Returns(hr);
  };
  auto lost = [&](const std::string& error) {
    return EventLost("A firmware message", "velk4", "its Talvenix_AdapterPrintf instance could not be read",
                     Narrow(name), error);
  };
  const Record noPath = EventLost("A firmware message", "velk4", "no object path could be made of its name",
                                  Narrow(name), "WBEM_E_FAILED(0x80041001)");
  // A property of the message that could not be read: its record, and the message's.
  auto unread = [&](const std::string& text, const std::string& error) {
    return std::vector<Record>{ServiceError(text), lost(error)};
  };
  const struct {
    ksim::Fault fault;
    HRESULT hr;
    std::vector<Record> records;
  } cases[] = {
      {getOf("InstanceName", kFailed, 1),
       kInvalidParameter,
       {ServiceError("Receive AdapterPrintfNotification event, but failed to get InstanceName properties. Error: "
                     "WBEM_E_FAILED\r\n")}},
      // No object path: any of its strings or its buffer missing.
      {Fault("SysAllocString").On("Talvenix_AdapterPrintf"), kFailed, {noPath}},
      {Fault("SysAllocString").On("InstanceName"), kFailed, {noPath}},
      {newOf((path.size() + 1) * sizeof(wchar_t)), kFailed, {noPath}},
      {Fault("SysAllocString").On(Narrow(path)), kFailed, {noPath}},
      // Tried three times, then the message is lost, and the log says so.
      {Fault("IWbemServices::GetObject").Returns(kNotFound), kInvalidParameter, {lost("WBEM_E_NOT_FOUND(0x80041002)")}},
      {Fault("IWbemServices::GetObject").Returns(S_OK), kInvalidParameter, {lost("WBEM_E_NOT_FOUND(0x80041002)")}},
      {getOf("AdapterNumber", kNotFound), kFailed,
       unread("Failed to get AdapterNumber. Error: WBEM_E_NOT_FOUND\r\n", "WBEM_E_NOT_FOUND(0x80041002)")},
      {getOf("Level", kFailed), kFailed,
       unread("AdapterPrintfNotification(): \t\t\t\tFailed to get Message Level. Error: WBEM_E_FAILED\r\n",
              "WBEM_E_FAILED(0x80041001)")},
      {getOf("Length", kOutOfMemory), kFailed,
       unread("Failed to get Message Length. Error: WBEM_E_OUT_OF_MEMORY\r\n", "WBEM_E_OUT_OF_MEMORY(0x80041006)")},
      {getOf("PrintfString", kNotFound), kFailed,
       unread("Failed to get Message. Error: WBEM_E_NOT_FOUND\r\n", "WBEM_E_NOT_FOUND(0x80041002)")},
  };
  for (const auto& c : cases) {
    CComRef<IWbemClassObject> pEvent = MessageEvent(Hello());
    ASSERT_TRUE(pEvent);
    ksim::ScopedFault fault(c.fault);
    EXPECT_EQ(c.hr, HandleMessage(pEvent.Get())) << c.fault.call << " " << c.fault.selector;
    EXPECT_EQ(c.records, Records()) << c.fault.call << " " << c.fault.selector;
    EXPECT_LE(1u, fault.Hits()) << c.fault.call << " " << c.fault.selector;
  }
}

TEST_F(Messages, IntegersOfAnyWidthAreTakenAndOtherTypesFailTheMessage) {
  const auto i2 = [](SHORT s) { return Variant(VT_I2, [=](VARIANT& v) { v.iVal = s; }); };
  const auto ui1 = [](BYTE b) { return Variant(VT_UI1, [=](VARIANT& v) { v.bVal = b; }); };
  const auto ui4 = [](ULONG ul) { return Variant(VT_UI4, [=](VARIANT& v) { v.ulVal = ul; }); };
  const auto boolean = Variant(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; });
  const Record mismatchNumber = ServiceError("Failed to get AdapterNumber. Error: WBEM_E_TYPE_MISMATCH\r\n");
  const Record mismatchLevel =
      ServiceError("AdapterPrintfNotification(): \t\t\t\tFailed to get Message Level. Error: WBEM_E_TYPE_MISMATCH\r\n");
  const Record badLength = ServiceError("Failed to get Message Length. Error: WBEM_E_VALUE_OUT_OF_RANGE\r\n");
  const Record mismatchLength = ServiceError("Failed to get Message Length. Error: WBEM_E_TYPE_MISMATCH\r\n");
  const Record mismatchText = ServiceError("Failed to get Message. Error: WBEM_E_TYPE_MISMATCH\r\n");
  const struct {
    const wchar_t* pwszProperty;
    Value value;
    HRESULT hr;
    Record record;
  } cases[] = {
      {L"AdapterNumber", i2(7), S_OK, {"velk4", EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\velk47: hello"}},
      {L"AdapterNumber", ui1(200), S_OK, {"velk4", EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\velk4200: hello"}},
      // 0xFFFF stands for "no number" in a controller record.
      {L"AdapterNumber", ui4(0xFFFF), S_OK, {"velk4", EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\velk4 : hello"}},
      {L"AdapterNumber", Value::Str(L"12"), kFailed, mismatchNumber},
      {L"AdapterNumber", Value::Null(), kFailed, mismatchNumber},
      {L"Level", i2(30), S_OK, Velk4("hello", EVENTLOG_WARNING_TYPE, 0x81011001)},
      {L"Level", ui4(20), S_OK, Velk4("hello")},
      {L"Level", boolean, kFailed, mismatchLevel},
      {L"Length", ui1(3), S_OK, Velk4("hel")},
      {L"Length", Value::I4(-1), kFailed, badLength},
      {L"Length", ui4(0x80000000), kFailed, badLength},
      {L"Length", Value::Str(L"5"), kFailed, mismatchLength},
      {L"PrintfString", Array(VT_I1, ksim::machine::Text("hello")), S_OK, Velk4("hello")},
      {L"PrintfString", Array(VT_UI1, ksim::machine::Text("hello"), 7), S_OK, Velk4("hello")},
      {L"PrintfString", Value::Str(L"hello"), kFailed, mismatchText},
      {L"PrintfString", Value::Null(), kFailed, mismatchText},
      {L"PrintfString", Array(VT_I4, {1, 2, 3, 4, 5}), kFailed, mismatchText},
      {L"PrintfString", Array(VT_UI1, ksim::machine::Text("hello"), 0, 2), kFailed, mismatchText},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.hr, Handle(Hello({{c.pwszProperty, c.value}}))) << Narrow(c.pwszProperty) << " " << c.value.Type();
    std::vector<Record> expected{c.record};
    if (FAILED(c.hr))
      expected.push_back(MessageLost(c.record == badLength ? static_cast<HRESULT>(WBEM_E_VALUE_OUT_OF_RANGE)
                                                           : static_cast<HRESULT>(WBEM_E_TYPE_MISMATCH)));
    EXPECT_EQ(expected, Records()) << Narrow(c.pwszProperty) << " " << c.value.Type();
  }
}

}  // namespace
}  // namespace ktest
