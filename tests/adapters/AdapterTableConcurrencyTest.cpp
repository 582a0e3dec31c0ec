// Rescans while readers read: no reader ever sees a freed table (AddressSanitizer and
// ThreadSanitizer are the judges), an adapter's index and driver name come from one table, and
// rescans run one after another so that the newest enumeration stands.
#include "AdapterTableFixture.h"

#include <atomic>
#include <thread>

using ksim::machine::AddScsiController;
using ksim::machine::RemoveScsiController;

namespace {

TEST_F(AdapterTableTest, RescansWhileHandlersRead) {
  ksim::SetCallRecording(false);
  AddScsiController(kPathA, L"velk4");
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  std::atomic<bool> bStop{false};
  std::atomic<long> lReads{0};
  auto reader = [&] {
    while (!bStop) {
      {
        // An event's handler: the index and the driver's name from one table.
        tEventAdapter adapter;
        if (CAdapterInfo::FindAdapter(kPathB, &adapter)) {
          EXPECT_STREQ("qtr", adapter.szDriver);
        }
        if (CAdapterInfo::FindAdapter(kPathA, &adapter)) {
          EXPECT_STREQ("velk4", adapter.szDriver);
        }
      }
      // The unpinned form: a per-thread copy.
      unsigned short w = c_wNoAdapter;
      CAdapterInfo::SearchByDeviceID(kPathB, &w);
      std::wstring name = CAdapterInfo::GetDriverNamebyIndex(w);
      EXPECT_TRUE(name.empty() || name == L"qtr");
      CAdapterInfo::GetIsSupDriverInstalled();
      CAdapterInfo::GetAdapterChannelCount();
      ++lReads;
    }
  };
  auto writer = [&] {
    for (int i = 0; i < 60; ++i) CAdapterInfo::RescanAdapterInfo();
  };
  std::thread r1(reader), r2(reader);
  std::thread w1(writer), w2(writer);
  for (int i = 0; i < 30; ++i) {
    AddScsiController(kPathB, L"qtr");
    RemoveScsiController(kPathB);
  }
  w1.join();
  w2.join();
  bStop = true;
  r1.join();
  r2.join();
  EXPECT_GT(lReads.load(), 0);
  // Whatever interleaving happened, the last table is whole and the controllers are A only.
  CAdapterInfo::RescanAdapterInfo();
  EXPECT_EQ(1u, CAdapterInfo::GetAdapterChannelCount());
  ksim::SetCallRecording(true);
}

TEST_F(AdapterTableTest, AnOlderEnumerationNeverReplacesANewerOne) {
  AddScsiController(kPathA, L"velk4");
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  // The first rescan has enumerated (controller A only) and is about to publish when B arrives
  // and a second rescan starts. Had the second one run now, it would publish A and B, and the
  // first one's older table would then replace it.
  std::atomic<bool> bSecondEnumerated{false};
  std::thread second;
  bool bFirst = true;
  ksim::ScopedHook enumerated("IWbemServices::CreateInstanceEnum", "",
                              [&] { bSecondEnumerated = !bFirst; });
  ksim::ScopedHook published("IWbemLocator::Release", "", [&] {
    if (!bFirst) return;
    bFirst = false;
    AddScsiController(kPathB, L"qtr");
    second = std::thread([] { CAdapterInfo::RescanAdapterInfo(); });
    for (int i = 0; i < 50 && !bSecondEnumerated; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(4));
  });
  CAdapterInfo::RescanAdapterInfo();
  second.join();
  EXPECT_EQ(2u, CAdapterInfo::GetAdapterChannelCount()) << "the table of the later enumeration stands";
  EXPECT_EQ(1, Search(kPathB));
  for (const std::string& s : Records()) EXPECT_NE("AdapterInfo Pointers not swapped", s);
}

}  // namespace
