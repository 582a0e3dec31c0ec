// The first layer of the test support: the simulated machine itself. What every test reads (the
// Application log as records), the controllers it plugs in, a SYSTEMTIME builder, the wait until
// the machine is quiet, a named-setter fault builder, and the leak check of live simulated
// objects.
#pragma once

#include "service/ServiceUtil.h"

#include <ksim/EventLog.h>
#include <ksim/Faults.h>
#include <ksim/Host.h>
#include <ksim/Registry.h>
#include <ksim/Scm.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace ktest {

// Device instance paths in their original case; Win32_SCSIController.DeviceID is the upper-case
// form. A and B are controllers of one model of the supported driver, Q one of another driver,
// C one of a third model, and Unknown one that no table knows.
inline const wchar_t kPathA[] = L"PCI\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\4&1a2b3c4d&0&00e0";
inline const wchar_t kPathB[] = L"PCI\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\4&2b3c4d5e&0&00e8";
inline const wchar_t kPathQ[] = L"PCI\\VEN_EEEE&DEV_0001&SUBSYS_00000000&REV_01\\4&3c4d5e6f&0&0010";
inline const wchar_t kPathC[] = L"PCI\\VEN_1111&DEV_2222&SUBSYS_00000000&REV_02\\3&9f9f9f9f&0&00f8";
inline const wchar_t kPathUnknown[] = L"PCI\\VEN_9999&DEV_9999&SUBSYS_00000000&REV_01\\4&99999999&0&0099";

inline const char kServiceName[] = "korvlog";
// The module of a plain machine's process.
inline const char kModulePath[] = "D:\\svc\\evtsvc.exe";

// One record of the Application log, reduced to what the product decides. The product writes
// exactly one string per record; any other number reads as "<N strings>".
struct Record {
  std::string source;
  WORD type;
  DWORD eventId;
  std::string text;
  bool operator==(const Record& o) const {
    return source == o.source && type == o.type && eventId == o.eventId && text == o.text;
  }
};

inline std::ostream& operator<<(std::ostream& os, const Record& r) {
  return os << "{" << r.source << ", type " << r.type << ", 0x" << std::hex << r.eventId << std::dec << ", \""
            << r.text << "\"}";
}

// The Application log so far, in order.
inline std::vector<Record> Records() {
  std::vector<Record> out;
  for (const ksim::EventRecord& r : ksim::EventLogRecords())
    out.push_back(Record{r.source, r.type, r.eventId,
                         r.strings.size() == 1 ? r.strings[0] : "<" + std::to_string(r.strings.size()) + " strings>"});
  return out;
}

// The texts of the records so far, in order.
inline std::vector<std::string> Texts() {
  std::vector<std::string> texts;
  for (const Record& r : Records()) texts.push_back(r.text);
  return texts;
}

// The service's own error record.
inline Record ServiceError(const std::string& text) { return Record{kServiceName, EVENTLOG_ERROR_TYPE, 0xC0002004, text}; }

// A calendar time; the day of the week is left 0, as the conversions ignore it.
inline SYSTEMTIME Time(WORD wYear, WORD wMonth, WORD wDay, WORD wHour = 0, WORD wMinute = 0, WORD wSecond = 0,
                       WORD wMilliseconds = 0) {
  return SYSTEMTIME{wYear, wMonth, 0, wDay, wHour, wMinute, wSecond, wMilliseconds};
}

// Waits until WMI has delivered everything and every thread the product started has ended.
inline void Settle(DWORD timeoutMilliseconds = 20000) {
  EXPECT_TRUE(ksim::Settle(timeoutMilliseconds)) << "WMI or the product's threads never settled";
}

// A fault on a named simulated call, by named setters:
//   Fault("LocalAlloc").Nth(1).LastError(ERROR_NOT_ENOUGH_MEMORY)
// What is not set keeps ksim::Fault's default: every matching call, result 0, last error 0.
class Fault : public ksim::Fault {
 public:
  explicit Fault(std::string name) { call = std::move(name); }
  // Only calls with this selector (a source, namespace, class, property, size...).
  Fault& On(std::string value) { return selector = std::move(value), *this; }
  // Only the n-th matching call (1-based); FromNth: that one and every later one.
  Fault& Nth(unsigned n) { return occurrence = n, andAfter = false, *this; }
  Fault& FromNth(unsigned n) { return occurrence = n, andAfter = true, *this; }
  // What the call returns instead (call-specific: BOOL, HRESULT, LONG).
  Fault& Returns(int64_t value) { return result = value, *this; }
  Fault& LastError(DWORD dwError) { return lastError = dwError, *this; }
  // A call-specific alternative, for example succeeding with a null result.
  Fault& Variant(int value) { return variant = value, *this; }
};

// Live simulated objects of the given kinds ("handles", "bstrs", "com_objects", ...) counted when
// made; Expect checks that the count of a kind (empty: every kind) is back where it was, plus
// what a test expected to add.
class LeakCheck {
 public:
  explicit LeakCheck(std::vector<std::string> kinds) : m_kinds(std::move(kinds)) {
    for (const std::string& kind : m_kinds) m_before.push_back(ksim::LiveCount(kind));
  }
  void Expect(const std::string& kind, int64_t added) const {
    for (size_t i = 0; i < m_kinds.size(); ++i) {
      if (!kind.empty() && m_kinds[i] != kind) continue;
      EXPECT_EQ(m_before[i] + added, ksim::LiveCount(m_kinds[i])) << m_kinds[i] << " left behind";
    }
  }
  void ExpectNone() const { Expect({}, 0); }

 private:
  std::vector<std::string> m_kinds;
  std::vector<int64_t> m_before;
};

// Empty service database, registry and event log, no recorded calls, no state file; the
// module at kModulePath and the service named kServiceName. On tear-down, no service handle,
// database lock, registry key, event source or local block may be left open by the test.
class MachineTest : public testing::Test {
 protected:
  void SetUp() override {
    ksim::UseStateFile("");
    ksim::ResetScm();
    ksim::ResetRegistry();
    ksim::ClearEventLog();
    ksim::ClearModuleMessageTables();
    ksim::SetModulePath(kModulePath);
    CWMIServiceUtil::SetServiceName(kServiceName);
    CWMIServiceUtil::SetDisplayName(kServiceName);
    m_leaks = LeakCheck({"sc_handles", "sc_locks", "reg_keys", "event_sources", "local_allocs"});
    ksim::ClearCalls();
  }

  void TearDown() override { m_leaks.ExpectNone(); }

  // Runs an operation with standard output captured.
  static std::string Capture(const std::function<ErrorCode()>& operation, ErrorCode* pCode) {
    testing::internal::CaptureStdout();
    *pCode = operation();
    return testing::internal::GetCapturedStdout();
  }

 private:
  LeakCheck m_leaks{{}};
};

}  // namespace ktest
