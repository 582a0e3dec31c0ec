// The event sink: its COM identity and reference count, the checks and copies of a batch, the
// workers that handle its events, and the references that keep a worker's services alive.
#include "SinkTestSupport.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace ktest {
namespace {

// What the test handler saw, and what it answers.
struct Dispatched {
  IWbemServices* pServices;
  IWbemClassObject* pObject;
  std::wstring name;
  DWORD threadId;
};

struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Dispatched> calls;
  std::vector<HRESULT> results;  // the answer to the n-th call; 0 beyond the list
  bool bHold = false;            // calls wait while set
  HRESULT hrAfterHold = S_OK;    // what a held call's GetObject on its services returned
};

Recorder& R() {
  static Recorder* s_pRecorder = new Recorder;
  return *s_pRecorder;
}

HRESULT RecordingHandler(IWbemServices* pServices, IWbemClassObject* pObject) {
  Recorder& r = R();
  std::unique_lock<std::mutex> guard(r.lock);
  r.calls.push_back(Dispatched{pServices, pObject, ktest::GetString(pObject, L"InstanceName"), GetCurrentThreadId()});
  const size_t n = r.calls.size();
  r.changed.notify_all();
  if (r.bHold) {
    r.changed.wait(guard, [&] { return !r.bHold; });
    // The services must still be usable, whoever else let go of them.
    CComRef<IWbemClassObject> pClass;
    r.hrAfterHold = pServices->GetObject(CBSTR(L"Test_Item").Get(), 0, nullptr, pClass.Put(), nullptr);
  }
  return n <= r.results.size() ? r.results[n - 1] : S_OK;
}

struct Status {
  DWORD dwRegistration;
  LONG lFlags;
  HRESULT hResult;
  BSTR strParam;
  IWbemClassObject* pObjParam;
};
Status g_status;

HRESULT RecordingStatus(DWORD dwRegistration, LONG lFlags, HRESULT hResult, BSTR strParam,
                        IWbemClassObject* pObjParam) {
  g_status = Status{dwRegistration, lFlags, hResult, strParam, pObjParam};
  return static_cast<HRESULT>(0x80041099);
}

class Sink : public SinkFixture {
 protected:
  void SetUp() override {
    SinkFixture::SetUp();
    {
      Recorder& r = R();
      std::lock_guard<std::mutex> guard(r.lock);
      r.calls.clear();
      r.results.clear();
      r.bHold = false;
    }
    m_services = CComRef<IWbemServices>(Connect(ksim::wmi::kRootWmi));
    ASSERT_TRUE(m_services);
    ASSERT_TRUE(ksim::wmi::DefineClass(ksim::wmi::kRootWmi, {L"Test_Item", L"", {{L"InstanceName", CIM_STRING, true}}, {}}));
    for (int i = 1; i <= 5; ++i) {
      const std::wstring name = std::to_wstring(i);
      ASSERT_TRUE(ksim::wmi::PutInstance(ksim::wmi::kRootWmi, L"Test_Item", {{L"InstanceName", ksim::wmi::Value::Str(name)}}));
      CComRef<IWbemClassObject> pItem;
      ASSERT_EQ(WBEM_S_NO_ERROR, m_services->GetObject(CBSTR((L"Test_Item.InstanceName=\"" + name + L"\"").c_str()).Get(), 0,
                                                       nullptr, pItem.Put(), nullptr));
      m_items.push_back(std::move(pItem));
    }
    m_pSink = new CWbemSink(RecordingHandler, RecordingStatus, m_services.Get(), 41);
    m_objectsBefore = ksim::LiveCount("com_objects");
    ksim::ClearEventLog();
    ksim::ClearCalls();
  }

  void TearDown() override {
    Settle();
    if (m_pSink) m_pSink->Release();
    m_items.clear();
    SinkFixture::TearDown();
  }

  // The first n test items as a batch of WMI's.
  std::vector<IWbemClassObject*> Batch(size_t n) {
    std::vector<IWbemClassObject*> batch;
    for (size_t i = 0; i < n; ++i) batch.push_back(m_items[i].Get());
    return batch;
  }

  // Starts a worker whose handler waits until ReleaseHeldWorker, and waits until it runs.
  void StartHeldWorker() {
    {
      Recorder& r = R();
      std::lock_guard<std::mutex> guard(r.lock);
      r.bHold = true;
    }
    const size_t nBefore = Calls().size();
    std::vector<IWbemClassObject*> batch = Batch(1);
    ASSERT_EQ(WBEM_S_NO_ERROR, m_pSink->Indicate(1, batch.data()));
    Recorder& r = R();
    std::unique_lock<std::mutex> guard(r.lock);
    ASSERT_TRUE(r.changed.wait_for(guard, std::chrono::seconds(10), [&] { return r.calls.size() > nBefore; }));
  }
  static void ReleaseHeldWorker() {
    Recorder& r = R();
    std::lock_guard<std::mutex> guard(r.lock);
    r.bHold = false;
    r.changed.notify_all();
  }

  static std::vector<Dispatched> Calls() {
    Recorder& r = R();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.calls;
  }

  // Nothing of the batch was dispatched, and every copy is gone again.
  void ExpectBatchDropped() {
    Settle();
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(m_objectsBefore, ksim::LiveCount("com_objects")) << "copies leaked";
  }

  std::vector<CComRef<IWbemClassObject>> m_items;
  CWbemSink* m_pSink = nullptr;
  int64_t m_objectsBefore = 0;
};

TEST_F(Sink, QueryInterfaceGivesTheSinkForItsTwoInterfacesOnly) {
  const ULONG ulBefore = Refs(m_pSink);
  for (REFIID riid : {std::cref(IID_IUnknown), std::cref(IID_IWbemObjectSink)}) {
    void* pv = nullptr;
    EXPECT_EQ(S_OK, m_pSink->QueryInterface(riid, &pv));
    EXPECT_EQ(static_cast<IWbemObjectSink*>(m_pSink), pv);
    EXPECT_EQ(ulBefore + 1, Refs(m_pSink));
    m_pSink->Release();
  }
  for (REFIID riid : {std::cref(IID_IWbemServices), std::cref(IID_IWbemClassObject), std::cref(IID_IWbemLocator)}) {
    void* pv = this;
    EXPECT_EQ(E_NOINTERFACE, m_pSink->QueryInterface(riid, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(ulBefore, Refs(m_pSink));
  }
}

TEST_F(Sink, TheSinkHoldsItsServicesUntilTheLastReleaseDestroysIt) {
  m_pSink->Release();
  m_pSink = nullptr;
  const ULONG ulServices = Refs(m_services.Get());

  CWbemSink* pSink = new CWbemSink(RecordingHandler, RecordingStatus, m_services.Get(), 42);
  EXPECT_EQ(ulServices + 1, Refs(m_services.Get()));
  EXPECT_EQ(2u, pSink->AddRef());
  EXPECT_EQ(1u, pSink->Release());
  EXPECT_EQ(ulServices + 1, Refs(m_services.Get()));
  EXPECT_EQ(0u, pSink->Release());  // destroyed: AddressSanitizer sees any later use or a leak
  EXPECT_EQ(ulServices, Refs(m_services.Get()));
}

TEST_F(Sink, SetStatusRunsItsHandlerOnTheCallingThreadWithItsRegistrationAndTheSameArguments) {
  CBSTR bstrParam(L"param");
  g_status = Status{};
  EXPECT_EQ(static_cast<HRESULT>(0x80041099),
            m_pSink->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, bstrParam.Get(), m_items[0].Get()));
  EXPECT_EQ(41u, g_status.dwRegistration);
  EXPECT_EQ(WBEM_STATUS_COMPLETE, g_status.lFlags);
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_CALL_CANCELLED), g_status.hResult);
  EXPECT_EQ(bstrParam.Get(), g_status.strParam);
  EXPECT_EQ(m_items[0].Get(), g_status.pObjParam);
  EXPECT_EQ(0u, ksim::CountCalls("_beginthread"));
}

TEST_F(Sink, OnlyAFinalStatusEndsTheRegistrationWhateverItsCode) {
  EXPECT_FALSE(m_pSink->HasEnded());
  m_pSink->SetStatus(WBEM_STATUS_PROGRESS, WBEM_E_FAILED, nullptr, nullptr);
  m_pSink->SetStatus(WBEM_STATUS_REQUIREMENTS, WBEM_E_FAILED, nullptr, nullptr);
  EXPECT_FALSE(m_pSink->HasEnded()) << "progress reports end nothing";
  m_pSink->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_PROVIDER_FAILURE, nullptr, nullptr);
  EXPECT_TRUE(m_pSink->HasEnded());
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_PROVIDER_FAILURE), m_pSink->FinalStatus());
}

TEST(Registrations, AreNumberedInOrderAndCompareAcrossTheWrap) {
  const DWORD a = CWbemSink::NewRegistration();
  const DWORD b = CWbemSink::NewRegistration();
  EXPECT_NE(0u, a);
  EXPECT_TRUE(CWbemSink::MadeNoLaterThan(a, b));
  EXPECT_FALSE(CWbemSink::MadeNoLaterThan(b, a));
  EXPECT_TRUE(CWbemSink::MadeNoLaterThan(b, b));
  EXPECT_EQ(b, CWbemSink::LastRegistration());
  EXPECT_EQ(b, CWbemSink::LastRegistrationBeforeEvent()) << "outside a worker: the newest one";
  EXPECT_TRUE(CWbemSink::MadeNoLaterThan(0xFFFFFFF0u, 5u));
  EXPECT_FALSE(CWbemSink::MadeNoLaterThan(5u, 0xFFFFFFF0u));
}

TEST_F(Sink, ABatchWithoutArrayOrObjectsIsRejected) {
  std::vector<IWbemClassObject*> batch = Batch(2);
  const struct {
    LONG lCount;
    IWbemClassObject** ppArray;
    const char* pszRecord;
  } cases[] = {
      // The array test comes first, whatever the count.
      {0, nullptr, "Receive registered events, but ppArray is NULL\r\n"},
      {2, nullptr, "Receive registered events, but ppArray is NULL\r\n"},
      {0, batch.data(), "Receive registered events, but lObjCount <= 0\r\n"},
      {-1, batch.data(), "Receive registered events, but lObjCount <= 0\r\n"},
  };
  for (const auto& c : cases) {
    ksim::ClearEventLog();
    EXPECT_EQ(kInvalidParameter, m_pSink->Indicate(c.lCount, c.ppArray)) << c.lCount;
    EXPECT_EQ(std::vector<Record>{ServiceError(c.pszRecord)}, Records()) << c.lCount;
  }
  EXPECT_EQ(0u, ksim::CountCalls("IWbemClassObject::Clone"));
  ExpectBatchDropped();
}

TEST_F(Sink, ANullObjectRejectsTheWholeBatch) {
  std::vector<IWbemClassObject*> batch = {m_items[0].Get(), nullptr, m_items[2].Get()};
  EXPECT_EQ(kInvalidParameter, m_pSink->Indicate(3, batch.data()));
  EXPECT_EQ(std::vector<Record>{ServiceError("Receive registered events, but pObj is NULL\r\n")}, Records());
  EXPECT_EQ(1u, ksim::CountCalls("IWbemClassObject::Clone"));
  ExpectBatchDropped();
}

TEST_F(Sink, AFailedCopyRejectsTheWholeBatch) {
  const struct {
    HRESULT hr;
    const char* pszRecord;
  } cases[] = {
      {kOutOfMemory, "IWbemClassObject clone failed. Error: WBEM_E_OUT_OF_MEMORY(0x80041006)\r\n"},
      // Success without a copy is a failure too; its code is printed as it came.
      {WBEM_S_NO_ERROR, "IWbemClassObject clone failed. Error: WBEM_NO_ERROR(0x00000000)\r\n"},
  };
  for (const auto& c : cases) {
    ksim::ClearEventLog();
    ksim::ClearCalls();
    ksim::ScopedFault fault(Fault("IWbemClassObject::Clone").On("Test_Item").Nth(3).Returns(c.hr));
    std::vector<IWbemClassObject*> batch = Batch(5);
    EXPECT_EQ(kFailed, m_pSink->Indicate(5, batch.data()));
    EXPECT_EQ(std::vector<Record>{ServiceError(c.pszRecord)}, Records());
    EXPECT_EQ(3u, ksim::CountCalls("IWbemClassObject::Clone"));
    ExpectBatchDropped();
  }
}

TEST_F(Sink, NoMemoryForTheCopiesDropsTheBatchAndNoMemoryForAJobOnlyItsEvent) {
  struct tCopySize {  // what Indicate keeps of one object until it hands it over
    CComRef<IWbemClassObject> pObject;
    ULONGLONG ullLane;
    bool bNameRead;
    HRESULT hrName;
    CVARIANT varName;
  };
  const struct {
    size_t cbAllocation;
    HRESULT hr;
    size_t nClones;
    size_t nHandled;
    std::vector<Record> records;
  } cases[] = {
      // An array of owners: its element count is stored in front of it.
      {sizeof(tCopySize) * 5 + sizeof(size_t), kFailed, 0, 0, {}},
      {sizeof(tIndicateThreadInfo), WBEM_S_NO_ERROR, 5, 4,
       {ServiceError("Out of memory at Indicate(): an event is lost.\r\n")}},
  };
  for (const auto& c : cases) {
    ksim::ClearCalls();
    ksim::ClearEventLog();
    {
      Recorder& r = R();
      std::lock_guard<std::mutex> guard(r.lock);
      r.calls.clear();
    }
    ksim::ScopedFault fault(Fault("operator new").On(std::to_string(c.cbAllocation)).Nth(1));
    std::vector<IWbemClassObject*> batch = Batch(5);
    EXPECT_EQ(c.hr, m_pSink->Indicate(5, batch.data())) << c.cbAllocation;
    EXPECT_EQ(1u, fault.Hits());
    EXPECT_EQ(c.nClones, ksim::CountCalls("IWbemClassObject::Clone"));
    Settle();
    EXPECT_EQ(c.nHandled, Calls().size());
    EXPECT_EQ(c.records, Records());
    EXPECT_EQ(m_objectsBefore, ksim::LiveCount("com_objects")) << "copies leaked";
  }
}

TEST_F(Sink, AnAcceptedBatchIsHandledInOrderOnAWorkerWithTheSinksOwnCopies) {
  const ULONG ulItem = Refs(m_items[0].Get());
  std::vector<IWbemClassObject*> batch = Batch(3);
  EXPECT_EQ(WBEM_S_NO_ERROR, m_pSink->Indicate(3, batch.data()));
  // The sink keeps nothing of WMI's objects past the call.
  EXPECT_EQ(ulItem, Refs(m_items[0].Get()));
  Settle();

  std::vector<Dispatched> calls = Calls();
  ASSERT_EQ(3u, calls.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(std::to_wstring(i + 1), calls[i].name);
    EXPECT_NE(batch[i], calls[i].pObject) << "the handler got WMI's object, not a copy";
    EXPECT_EQ(m_services.Get(), calls[i].pServices);
    EXPECT_NE(GetCurrentThreadId(), calls[i].threadId) << "a handler ran on WMI's thread";
  }
  EXPECT_EQ(m_objectsBefore, ksim::LiveCount("com_objects")) << "copies leaked";
  EXPECT_EQ(NoRecords(), Records());
}

TEST_F(Sink, AfterTheStopNoBatchIsTaken) {
  // A batch WMI delivers once the stop has begun is refused, and nothing is left in hand.
  CRundown::Service().Close();
  std::vector<IWbemClassObject*> batch = Batch(2);
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_CALL_CANCELLED), m_pSink->Indicate(2, batch.data()));
  EXPECT_EQ(NoRecords(), Records());
  ExpectBatchDropped();
  EXPECT_TRUE(CRundown::Service().WaitDrained(0));
  CRundown::Service().Open();
  EXPECT_EQ(WBEM_S_NO_ERROR, m_pSink->Indicate(2, batch.data()));
  Settle();
  EXPECT_EQ(2u, Calls().size());
}

TEST_F(Sink, AFailingEventEndsOnlyItself) {
  {
    Recorder& r = R();
    std::lock_guard<std::mutex> guard(r.lock);
    r.results = {kFailed, S_FALSE, kInvalidParameter};
  }
  std::vector<IWbemClassObject*> batch = Batch(5);
  EXPECT_EQ(WBEM_S_NO_ERROR, m_pSink->Indicate(5, batch.data()));
  Settle();
  EXPECT_EQ(5u, Calls().size());
  EXPECT_EQ(m_objectsBefore, ksim::LiveCount("com_objects")) << "copies leaked";
  EXPECT_EQ(NoRecords(), Records());
}

// The workers are few and long-lived: however many batches come, no thread is started for one,
// and a worker that cannot be added costs no event, as the workers that run take its lane.
TEST_F(Sink, NoEventIsLostWhenWorkersCannotBeAdded) {
  StartHeldWorker();
  const unsigned nStarted = static_cast<unsigned>(ksim::CountCalls("_beginthread"));
  EXPECT_EQ(1u, nStarted) << "the first event starts the first worker";
  {
    ksim::ScopedFault fault(Fault("_beginthread").LastError(EAGAIN));
    CWbemSink* pKeyed = new CWbemSink(RecordingHandler, nullptr, m_services.Get(), 43, true);
    for (int i = 0; i < 3; ++i) {
      std::vector<IWbemClassObject*> batch = Batch(5);
      EXPECT_EQ(WBEM_S_NO_ERROR, pKeyed->Indicate(5, batch.data()));
    }
    pKeyed->Release();
  }
  EXPECT_EQ(1u, Calls().size()) << "an event ran without a worker";
  ReleaseHeldWorker();
  Settle();
  EXPECT_EQ(16u, Calls().size());
  EXPECT_EQ(1, CDispatcher::Workers());
  for (const Dispatched& call : Calls()) EXPECT_NE(GetCurrentThreadId(), call.threadId);
  EXPECT_EQ(m_objectsBefore, ksim::LiveCount("com_objects")) << "copies leaked";
}

// Many controllers' events while every handler is held: the workers grow to their bound and no
// further, and every event is handled once they go on.
TEST_F(Sink, AStormStaysWithinTheWorkerBound) {
  StartHeldWorker();
  CWbemSink* pKeyed = new CWbemSink(RecordingHandler, nullptr, m_services.Get(), 43, true);
  const int kBatches = 40;
  for (int i = 0; i < kBatches; ++i) {
    std::vector<IWbemClassObject*> batch = Batch(5);  // five controllers' events
    EXPECT_EQ(WBEM_S_NO_ERROR, pKeyed->Indicate(5, batch.data()));
  }
  pKeyed->Release();
  Recorder& r = R();
  {
    std::unique_lock<std::mutex> guard(r.lock);
    EXPECT_TRUE(r.changed.wait_for(guard, std::chrono::seconds(10),
                                   [&] { return r.calls.size() == static_cast<size_t>(CDispatcher::c_lMaxWorkers); }));
  }
  EXPECT_EQ(CDispatcher::c_lMaxWorkers, CDispatcher::Workers());
  EXPECT_LE(ksim::RunningThreads(), CDispatcher::c_lMaxWorkers);
  EXPECT_EQ(1 + 5 * kBatches, CDispatcher::EventsInHand());
  ReleaseHeldWorker();
  Settle();
  EXPECT_EQ(static_cast<size_t>(1 + 5 * kBatches), Calls().size());
  EXPECT_EQ(0, CDispatcher::EventsInHand());
  EXPECT_EQ(CDispatcher::c_lMaxWorkers, static_cast<LONG>(ksim::CountCalls("_beginthread")));
}

// A worker still in its handler when the stop stops waiting is counted as left; once its handler
// returns it ends and frees the pool, its lock and its events with it.
TEST_F(Sink, AWorkerThatOutlivesTheStopFreesThePoolWhenItEnds) {
  // The counts without a pool, once a run has made what outlives it.
  std::vector<IWbemClassObject*> batch = Batch(1);
  ASSERT_EQ(WBEM_S_NO_ERROR, m_pSink->Indicate(1, batch.data()));
  CRundown::Service().Close();
  ASSERT_TRUE(CRundown::Service().WaitDrained(10000));
  ASSERT_EQ(0, CDispatcher::Stop(10000));
  CRundown::Service().Open();
  const int64_t handlesBefore = ksim::LiveCount("handles");
  const int64_t locksBefore = ksim::LiveCount("critical_sections");
  StartHeldWorker();
  ASSERT_GT(ksim::LiveCount("handles"), handlesBefore);
  CRundown::Service().Close();
  EXPECT_EQ(1, CDispatcher::Stop(50));
  ReleaseHeldWorker();
  bool bFreed = false;
  for (int i = 0; i < 1000 && !bFreed; ++i) {
    bFreed = ksim::LiveCount("handles") == handlesBefore && ksim::LiveCount("critical_sections") == locksBefore;
    if (!bFreed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(bFreed) << "the pool outlived its last worker: handles " << ksim::LiveCount("handles") - handlesBefore << ", locks " << ksim::LiveCount("critical_sections") - locksBefore;
  EXPECT_EQ(2u, Calls().size());
  CRundown::Service().Open();
}

// The events of one controller are handled one after another, in the order they came, while
// other controllers' events are handled beside them.
TEST_F(Sink, OneControllersEventsRunInOrderAndOthersBesideThem) {
  CWbemSink* pKeyed = new CWbemSink(RecordingHandler, nullptr, m_services.Get(), 43, true);
  // Item 1's first event is held; two more of item 1 and one of item 2 come after it.
  {
    Recorder& r = R();
    std::lock_guard<std::mutex> guard(r.lock);
    r.bHold = true;
  }
  std::vector<IWbemClassObject*> first = Batch(1);
  ASSERT_EQ(WBEM_S_NO_ERROR, pKeyed->Indicate(1, first.data()));
  Recorder& r = R();
  {
    std::unique_lock<std::mutex> guard(r.lock);
    ASSERT_TRUE(r.changed.wait_for(guard, std::chrono::seconds(10), [&] { return r.calls.size() == 1; }));
  }
  std::vector<IWbemClassObject*> later = {m_items[0].Get(), m_items[1].Get(), m_items[0].Get()};
  ASSERT_EQ(WBEM_S_NO_ERROR, pKeyed->Indicate(3, later.data()));
  {
    std::unique_lock<std::mutex> guard(r.lock);
    EXPECT_TRUE(r.changed.wait_for(guard, std::chrono::seconds(10), [&] { return r.calls.size() == 2; }))
        << "the other controller's event waited behind the held one";
    EXPECT_EQ(L"2", r.calls[1].name);
  }
  pKeyed->Release();
  ReleaseHeldWorker();
  Settle();
  std::vector<Dispatched> calls = Calls();
  ASSERT_EQ(4u, calls.size());
  EXPECT_EQ(L"1", calls[2].name);
  EXPECT_EQ(L"1", calls[3].name);
  EXPECT_NE(calls[2].pObject, calls[3].pObject);
}

TEST_F(Sink, ARunningWorkerKeepsItsServicesAfterTheSinkAndTheOwnerLetGo) {
  StartHeldWorker();

  // Everyone but the worker lets go: the sink's last reference, the owner's services.
  EXPECT_EQ(0u, m_pSink->Release());
  m_pSink = nullptr;
  m_items.clear();
  m_services.Reset();
  EXPECT_EQ(1, ksim::LiveCount("IWbemServices"));

  ReleaseHeldWorker();
  Settle();
  EXPECT_EQ(WBEM_S_NO_ERROR, R().hrAfterHold);
  EXPECT_EQ(0, ksim::LiveCount("IWbemServices")) << "the worker's services reference leaked";
}

}  // namespace
}  // namespace ktest
