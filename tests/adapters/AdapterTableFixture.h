// A machine with controllers, COM started, and the adapter table's protected parts in reach.
#pragma once

#include "adapters/AdapterInfo.h"
#include "support/Com.h"

#include <ksim/EventLog.h>

#include <string>
#include <vector>

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

class AdapterTableTest : public wmitest::ComFixture {
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

  // The texts of the error records written so far.
  static std::vector<std::string> Records() {
    std::vector<std::string> out;
    for (const ksim::EventRecord& r : ksim::EventLogRecords()) {
      EXPECT_EQ(EVENTLOG_ERROR_TYPE, r.type);
      EXPECT_EQ(0xC0002004u, r.eventId);
      out.push_back(r.strings.empty() ? std::string() : r.strings[0]);
    }
    return out;
  }

  static std::wstring Name(unsigned short wIndex) { return CAdapterInfo::GetDriverNamebyIndex(wIndex); }
  static unsigned short Search(const wchar_t* pwsz) {
    unsigned short w = 0x1234;
    EXPECT_EQ(ecNoError, CAdapterInfo::SearchByDeviceID(pwsz, &w));
    return w;
  }
};

// Instance paths in their original case; DeviceID is the upper-case form.
inline const wchar_t* const kPathA = L"PCI\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\4&1a2b3c4d&0&00e0";
inline const wchar_t* const kPathB = L"PCI\\VEN_ABCD&DEV_5678&SUBSYS_00000000&REV_01\\4&22aa33bb&0&0010";
inline const wchar_t* const kPathC = L"PCI\\VEN_1111&DEV_2222&SUBSYS_00000000&REV_02\\3&9f9f9f9f&0&00f8";
