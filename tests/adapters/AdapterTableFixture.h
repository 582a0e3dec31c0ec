// A machine with controllers, COM started, and the adapter table's protected parts in reach.
#pragma once

#include "adapters/AdapterInfo.h"
#include "support/Com.h"

#include <ksim/EventLog.h>

#include <string>
#include <vector>

using ktest::kPathA;
using ktest::kPathB;
using ktest::kPathC;

class CAdapterInfoProbe : public CAdapterInfo {
 public:
  using CAdapterInfo::CountChannel;
  using CAdapterInfo::IsSupDriverInstalled;
  using CAdapterInfo::Refresh;
  using CAdapterInfo::SetAdapterInfo;
  static tAdapterInfoArray* Current() { return s_pAdapterInfoArray; }
  static tSupportedDriverArray* List() { return s_pSupportedDriverArray; }
  // Publishes a table made as the product makes one (null text: no text), freeing any current one.
  static void Publish(const std::vector<std::pair<const wchar_t*, const wchar_t*>>& entries) {
    DeleteAdapterInfo(nullptr);
    auto* pTable = new tAdapterInfoArray{static_cast<DWORD>(entries.size()), new tAdapterInfo[entries.size()](), false, 1};
    for (size_t i = 0; i < entries.size(); ++i) {
      pTable->pAdapterInfo[i].pwszDeviceID = Copy(entries[i].first);
      pTable->pAdapterInfo[i].pwszDriverName = Copy(entries[i].second);
    }
    s_pAdapterInfoArray = pTable;
  }

 private:
  static wchar_t* Copy(const wchar_t* pwsz) {
    if (!pwsz) return nullptr;
    std::wstring s = pwsz;
    auto* p = new wchar_t[s.size() + 1];
    std::copy(s.c_str(), s.c_str() + s.size() + 1, p);
    return p;
  }
};

class AdapterTableTest : public ktest::ComFixture {
 protected:
  void SetUp() override {
    ComFixture::SetUp();
    ksim::ClearEventLog();
    ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo("velk4"));
  }
  void TearDown() override {
    CAdapterInfo::DeleteAdapterInfo(nullptr);
    CAdapterInfo::DeleteSupportedDriverInfo(nullptr);
    ComFixture::TearDown();
  }

  // The texts of the records written so far, each of them an error record.
  static std::vector<std::string> Records() {
    std::vector<std::string> texts;
    for (const ktest::Record& r : ktest::Records()) {
      EXPECT_EQ(EVENTLOG_ERROR_TYPE, r.type);
      EXPECT_EQ(0xC0002004u, r.eventId);
      texts.push_back(r.text);
    }
    return texts;
  }

  static std::wstring Name(unsigned short wIndex) { return CAdapterInfo::GetDriverNamebyIndex(wIndex); }
  static unsigned short Search(const wchar_t* pwsz) {
    unsigned short w = 0x1234;
    EXPECT_EQ(ecNoError, CAdapterInfo::SearchByDeviceID(pwsz, &w));
    return w;
  }
};
