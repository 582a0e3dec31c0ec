#include "adapters/AdapterInfo.h"
#include "support/Machine.h"

#include <ksim/Faults.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ktest::Fault;

// Reads the current list through the protected members.
class Inspect : public CAdapterInfo {
 public:
  static const tSupportedDriverArray* List() { return s_pSupportedDriverArray; }
  static std::vector<std::string> Names() {
    std::vector<std::string> names;
    if (const tSupportedDriverArray* p = List())
      for (DWORD i = 0; i < p->dwCount; ++i) names.push_back(p->ppszDriver[i]);
    return names;
  }
};

class SupportedDrivers : public testing::Test {
 protected:
  void TearDown() override { CAdapterInfo::DeleteSupportedDriverInfo(nullptr); }
};

TEST_F(SupportedDrivers, Tokenising) {
  using Names = std::vector<std::string>;
  const struct {
    const char* text;
    Names names;
  } cases[] = {
      {"velk4,qtr", {"velk4", "qtr"}},
      {",,velk4,,,qtr,", {"velk4", "qtr"}},
      {"velk4", {"velk4"}},
      {"", {}},
      {",", {}},
      {",,,", {}},
      // Blanks and tabs around a name are no part of it; between words they are.
      {"velk4, qtr", {"velk4", "qtr"}},
      {" velk4 ;\tqtr ", {"velk4 ;\tqtr"}},
      {"\tvelk4\t,  qtr  ", {"velk4", "qtr"}},
      {"velk4, ,\t,qtr", {"velk4", "qtr"}},
      {" ", {}},
      {"VELK4,velk4,VELK4", {"VELK4", "velk4", "VELK4"}},
      {"\xe9t\xe9,na\xefve", {"\xe9t\xe9", "na\xefve"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo(c.text)) << c.text;
    ASSERT_NE(nullptr, Inspect::List()) << "an empty text still makes an (empty) list";
    EXPECT_EQ(c.names, Inspect::Names()) << c.text;
  }
}

TEST_F(SupportedDrivers, Matching) {
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo("VELK4,velk4, qtr,\xc9t\xc9,abc\xff"));
  const struct {
    const char* driver;
    bool supported;
  } cases[] = {
      {"velk4", true},  {"VeLk4", true},   {"velk", false},    {"velk44", false}, {"elk4", false},
      {"qtr", true},    {" qtr", false},   {"QTR", true},      {"", false},       {"\xe9t\xe9", true},
      {"\xc9T\xc9", true}, {"ABC\x9f", true}, {"abc\xdf", false}, {"velk4 ", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.supported, CAdapterInfo::IsEvtSrcSupported(c.driver)) << c.driver;
  EXPECT_FALSE(CAdapterInfo::IsEvtSrcSupported(nullptr));
}

// The check runs for every controller message: the list is folded once, when it is made, and a
// name is folded once per check, an ASCII name without any system call, and no name on the heap
// unless it is 256 characters or longer.
TEST_F(SupportedDrivers, ACheckFoldsOnlyTheNameAndAllocatesNothing) {
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo("VELK4,velk4, qtr,\xc9t\xc9,abc\xff"));
  const std::string sLong(300, 'v');
  const struct {
    std::string driver;
    bool supported;
    size_t nConversions;
    size_t nAllocations;
  } cases[] = {
      {"velk4", true, 0, 0},
      {"qtr", true, 0, 0},
      {"other", false, 0, 0},
      {"\xe9t\xe9", true, 1, 0},
      {"abc\xdf", false, 1, 0},
      {sLong, false, 3, 1},  // the stack buffer is too short: measured, then converted on the heap
  };
  for (const auto& c : cases) {
    ksim::ClearCalls();
    EXPECT_EQ(c.supported, CAdapterInfo::IsEvtSrcSupported(c.driver.c_str())) << c.driver;
    EXPECT_EQ(c.nConversions, ksim::CountCalls("MultiByteToWideChar")) << c.driver;
    EXPECT_EQ(c.nConversions ? 1u : 0u, ksim::CountCalls("LCMapStringW")) << c.driver;
    EXPECT_EQ(c.nAllocations, ksim::CountCalls("operator new")) << c.driver;
  }
}

TEST_F(SupportedDrivers, NoListOrEmptyListSupportsNothing) {
  EXPECT_FALSE(CAdapterInfo::IsEvtSrcSupported("velk4"));
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo(",,"));
  EXPECT_FALSE(CAdapterInfo::IsEvtSrcSupported("velk4"));
  EXPECT_FALSE(CAdapterInfo::IsEvtSrcSupported(""));
}

TEST_F(SupportedDrivers, SecondListReplacesTheFirst) {
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo("velk4"));
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo("qtr"));
  EXPECT_FALSE(CAdapterInfo::IsEvtSrcSupported("velk4"));
  EXPECT_TRUE(CAdapterInfo::IsEvtSrcSupported("qtr"));
}

TEST_F(SupportedDrivers, Delete) {
  EXPECT_EQ(ecBadParameter, CAdapterInfo::DeleteSupportedDriverInfo(nullptr));
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo("velk4"));
  EXPECT_EQ(ecNoError, CAdapterInfo::DeleteSupportedDriverInfo(nullptr));
  EXPECT_EQ(nullptr, Inspect::List());
  EXPECT_EQ(ecBadParameter, CAdapterInfo::DeleteSupportedDriverInfo(nullptr));
  tSupportedDriverArray* pNone = nullptr;
  EXPECT_EQ(ecBadParameter, CAdapterInfo::DeleteSupportedDriverInfo(&pNone));
}

TEST_F(SupportedDrivers, NullText) { EXPECT_EQ(ecBadParameter, CAdapterInfo::CreateSupportedDriverInfo(nullptr)); }

// Allocations in order: the scratch copy, the record, the name array, the array of folded names,
// then for each name its copy and its folded form.
TEST_F(SupportedDrivers, AllocationFailures) {
  const struct {
    unsigned failing;
    bool listExists;
    std::vector<std::string> names;
  } cases[] = {
      {1, true, {"old"}},  // the scratch copy: the earlier list stays
      {2, false, {}},      // the record: no list
      {3, true, {}},       // the name array: a list with no names
      {4, true, {}},       // the folded names' array
      {5, true, {}},       // the first name
      {6, true, {}},       // its folded form: a name that could never match is not kept
      {7, true, {"a"}},    // the second name: the names before it remain
      {8, true, {"a"}},
      {10, true, {"a", "b"}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo("old"));
    ksim::ScopedFault fault(Fault("operator new").Nth(c.failing));
    EXPECT_EQ(ecOutOfMemory, CAdapterInfo::CreateSupportedDriverInfo("a,b,c")) << c.failing;
    EXPECT_EQ(c.listExists, Inspect::List() != nullptr) << c.failing;
    EXPECT_EQ(c.names, Inspect::Names()) << c.failing;
  }
}

}  // namespace
