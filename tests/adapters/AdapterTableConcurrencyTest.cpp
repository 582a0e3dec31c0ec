// Rescans while readers read: no reader ever sees a freed table (AddressSanitizer and
// ThreadSanitizer are the judges), overlapping rescans lose no table, and names handed out stay
// valid for as long as the contract promises.
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
        // The pinned form: search and name from one table, the pointer valid inside.
        CAdapterInfoReader pin;
        unsigned short w = c_wNoAdapter;
        CAdapterInfo::SearchByDeviceID(kPathA, &w);
        const wchar_t* pwsz = CAdapterInfo::GetDriverNamebyIndex(w);
        if (w != c_wNoAdapter) {
          EXPECT_STREQ(L"velk4", pwsz);
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

TEST_F(AdapterTableTest, APinnedTableOutlivesTheFinalDelete) {
  AddScsiController(kPathA, L"velk4");
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  CAdapterInfoReader pin;
  const wchar_t* pwsz = CAdapterInfo::GetDriverNamebyIndex(0);
  {
    CAdapterInfoReader nested;  // an inner reader shares the outer one's table
    EXPECT_EQ(pwsz, CAdapterInfo::GetDriverNamebyIndex(0));
  }
  ASSERT_EQ(ecNoError, CAdapterInfo::DeleteAdapterInfo(nullptr));
  ksim::machine::RemoveScsiController(kPathA);
  CAdapterInfo::RescanAdapterInfo();
  // Still the pinned table, though it is no longer published.
  EXPECT_STREQ(L"velk4", pwsz);
  EXPECT_EQ(1u, CAdapterInfo::GetAdapterChannelCount());
  EXPECT_EQ(0, Search(kPathA));
}

TEST_F(AdapterTableTest, OverlappingRescansReportTheMissedSwapAndLoseNoTable) {
  ksim::SetCallRecording(false);
  AddScsiController(kPathA, L"velk4");
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  // Both rescans leave their last WMI call together while readers keep the table busy, so that
  // their exchanges race. Repeat until one of them has seen the other's table appear between its
  // read and its exchange.
  std::atomic<bool> bStop{false};
  auto reader = [&] {
    while (!bStop) CAdapterInfo::GetAdapterChannelCount();
  };
  std::thread r1(reader), r2(reader);
  std::atomic<long> lArrived{0};
  ksim::ScopedHook barrier("IWbemLocator::Release", "", [&] {
    long lTicket = ++lArrived;
    long lTarget = (lTicket + 1) / 2 * 2;
    while (lArrived.load() < lTarget) {
    }
  });
  bool bSeen = false;
  for (int round = 0; round < 3000 && !bSeen; ++round) {
    std::thread a([] { CAdapterInfo::RescanAdapterInfo(); });
    std::thread b([] { CAdapterInfo::RescanAdapterInfo(); });
    a.join();
    b.join();
    for (const std::string& s : Records()) bSeen |= s == "AdapterInfo Pointers not swapped";
  }
  bStop = true;
  r1.join();
  r2.join();
  EXPECT_TRUE(bSeen) << "the two rescans never overlapped";
  EXPECT_EQ(1u, CAdapterInfo::GetAdapterChannelCount());
  ksim::SetCallRecording(true);
  // Every table a rescan replaced was released: AddressSanitizer's leak check confirms at exit.
}

}  // namespace
