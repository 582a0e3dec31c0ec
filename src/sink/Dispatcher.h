// The workers that run the indicate handlers: a few long-lived threads fed by a bounded queue of
// events. Each event waits in a lane: the events of one controller (one InstanceName) share a
// lane and are handled one after another in the order they were handed over, as are the class,
// instance and controller changes in theirs; different lanes run in parallel.
#pragma once

#include "common/ComTypes.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"

#include <memory>

struct tIndicateThreadInfo;

class CDispatcher {
 public:
  // The most workers that run at once. Handlers spend their time in calls to WMI and to the
  // event log, so a few in parallel keep a slow log write or a busy provider of one controller
  // from holding up the others; a storm of events never adds threads beyond them.
  static constexpr LONG c_lMaxWorkers = 4;
  // The most events handed over and not yet handled. At the bound Indicate waits for room (WMI
  // queues what it delivers meanwhile on its side), up to c_dwRoomWaitMs, so that WMI never
  // takes the sink for hung; past that it takes the batch all the same rather than lose it.
  static constexpr LONG c_lQueueBound = 1024;
  static constexpr DWORD c_dwRoomWaitMs = 10000;

  // Starts the workers of a run: one at once, more as events wait for them. ecNoError once one
  // runs; otherwise the error, with a record. Starting an already started pool does nothing.
  static ErrorCode Start();
  // Hands events over: each job (one event) joins the lane of its key and counts as the run's
  // work until it has been handled (CRundown). A job that is not taken is released here: the stop
  // has begun, or no worker can run at all.
  enum EPost { prTaken, prStopping, prNoWorker };
  static EPost Post(std::unique_ptr<tIndicateThreadInfo> pJob);
  // Hands pfnTask(pvTask) to the workers, in the lane of the class, instance and controller
  // changes; false when it was not taken (pfnTask is then not called).
  static bool PostTask(void (*pfnTask)(void* pvTask), void* pvTask);
  // Ends the workers once the events in hand are handled; returns how many did not end in
  // dwMilliseconds (they are left to the end of the process), 0 when all did.
  static LONG Stop(DWORD dwMilliseconds);

  // The lane of an event: the keys of controllers, and the two lanes that are no controller's.
  static constexpr ULONGLONG c_ullLaneChanges = 1;    // class, instance and controller changes
  static constexpr ULONGLONG c_ullLaneNoName = 2;     // events whose InstanceName could not be read
  // The lane of a controller's events: a hash of its InstanceName, ASCII letters folded.
  static ULONGLONG LaneOfName(const wchar_t* pwszName);

  // How many workers run and how many events wait or run now (for the status record and tests).
  static LONG Workers();
  static LONG EventsInHand();
};
