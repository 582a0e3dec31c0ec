// The filter of a query whose registrations overlap: WMI delivers each event to every
// registration, and the service handles it once, whichever delivers it first and however late
// the other copy comes.
#include "SinkTestSupport.h"

#include "sink/EventFilter.h"

#include <gtest/gtest.h>

namespace ktest {
namespace {

HRESULT Ignore(IWbemServices*, IWbemClassObject*) { return WBEM_S_NO_ERROR; }

// What a step does: a registration delivers an event, or the retired one ends.
struct Step {
  enum What { kDeliverOld, kDeliverNew, kOldEnds } what;
  int event;     // 1 or 2: two events, the second newer than the first
  bool admitted;  // deliveries: whether the filter lets it through
};

struct OverlapCase {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const OverlapCase& c, std::ostream* os) { *os << c.name; }

class EventFilterOverlap : public SinkFixture, public testing::WithParamInterface<OverlapCase> {};

TEST_P(EventFilterOverlap, HandlesEachEventOnce) {
  StartMachine();
  CComRef<IWbemClassObject> rgpEvents[] = {MessageEvent(kPathA, 20, 1, "first"), MessageEvent(kPathA, 20, 2, "second")};
  ASSERT_TRUE(rgpEvents[0] && rgpEvents[1]);
  CBSTR bstrName(L"name");

  CComRef<CWbemSink> pOld(new CWbemSink(Ignore, nullptr, m_services.Get()));
  CComRef<CWbemSink> pNew(new CWbemSink(Ignore, nullptr, m_services.Get()));
  CEventFilter* pFilter = new CEventFilter();
  pFilter->SetCurrent(pNew.Get());
  pFilter->Retire(pOld.Get());
  for (const Step& step : GetParam().steps) {
    if (step.what == Step::kOldEnds) {
      pOld->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, nullptr, nullptr);
      continue;
    }
    CWbemSink* pSink = step.what == Step::kDeliverOld ? pOld.Get() : pNew.Get();
    EXPECT_EQ(step.admitted, pFilter->Admit(pSink, rgpEvents[step.event - 1].Get(), bstrName.Get()))
        << (step.what == Step::kDeliverOld ? "old" : "new") << " registration, event " << step.event;
  }
  pFilter->Clear();
  pFilter->Release();
}

const OverlapCase kOverlaps[] = {
    {"OldFirst", {{Step::kDeliverOld, 1, true}, {Step::kDeliverNew, 1, false}}},
    {"NewFirst", {{Step::kDeliverNew, 1, true}, {Step::kDeliverOld, 1, false}}},
    {"EachEventOnceInAnyMix",
     {{Step::kDeliverNew, 1, true}, {Step::kDeliverOld, 2, true}, {Step::kDeliverOld, 1, false},
      {Step::kDeliverNew, 2, false}}},
    // The old registration has ended when the new one's copy comes.
    {"LateCopyAfterTheOldEnded", {{Step::kDeliverOld, 1, true}, {Step::kOldEnds, 0, false}, {Step::kDeliverNew, 1, false},
                                  {Step::kDeliverNew, 2, true}}},
    // Nothing came through the old one: nothing to wait for once it has ended.
    {"OldEndedWithoutDelivering", {{Step::kOldEnds, 0, false}, {Step::kDeliverNew, 1, true}, {Step::kDeliverNew, 1, true}}},
    // A newer event through the new one: every late copy has come, and the filter stands aside.
    {"OverOnceANewerEventCame", {{Step::kDeliverOld, 1, true}, {Step::kOldEnds, 0, false}, {Step::kDeliverNew, 2, true},
                                 {Step::kDeliverNew, 2, true}}},
};

INSTANTIATE_TEST_SUITE_P(Orders, EventFilterOverlap, testing::ValuesIn(kOverlaps),
                         [](const testing::TestParamInfo<OverlapCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ktest
