// The workload: controllers of the supported driver on the simulated machine, and a driver that
// prints firmware messages on them the way the real one does: it stores the message in the
// controller's one Talvenix_AdapterPrintf instance, then raises the notification, which carries
// no text. A consumer's GetObject of the instance is timed through the simulated WMI's observer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

constexpr size_t kControllers = 8;
extern const char kDriver[];  // the driver every controller runs; on korvlog's supported list

// Adds the controllers and loads the driver; the simulated host's settings for a long run.
void SetUpMachine();

// What one run sent and what the Application log holds of it.
struct RunResult {
  size_t sent = 0;
  size_t logged = 0;   // sent messages logged exactly once
  size_t lost = 0;     // sent messages never logged
  size_t doubled = 0;  // records beyond the first of a message logged more than once
  size_t other = 0;    // records that are none of the sent messages
  size_t inversions = 0;  // records logged after the record of a later message of the same controller
  bool stalled = false;  // paced: a message was never fetched, so the run stopped early
  std::vector<double> windowUs;  // paced: notification to GetObject of each message, in µs
  double gapUs = 0;  // gapped: the mean time between two messages of a controller, as the driver kept it
  bool Clean() const { return !stalled && logged == sent && lost == 0 && doubled == 0 && other == 0; }
};

// Drives the controllers 0 .. controllers-1. One driver at a time; it runs on the caller's thread.
class Driver {
 public:
  // bVerbose: every record that is none of the sent messages is shown on standard error.
  explicit Driver(bool bVerbose);
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // total messages, an equal share per controller; a controller's next message is stored only
  // after the consumer fetched its previous one. Returns when WMI and the event workers are idle.
  RunResult Paced(size_t controllers, size_t total);
  // A message per controller every gapNs, the controllers spread evenly over the gap, whether or
  // not the consumer has fetched the previous one: the driver overwrites its instance. Returns
  // when WMI and the event workers are idle.
  RunResult Gapped(size_t controllers, size_t total, int64_t gapNs);
  // Messages as fast as the driver can store them, round the controllers, until inFlight()
  // reaches target or maxTotal were sent. Returns without waiting for the consumer.
  RunResult Flood(size_t controllers, size_t target, size_t maxTotal, size_t (*inFlight)());

  // Counts the log against what the last run sent, then clears the log; call it once the
  // consumer is idle.
  void Count(RunResult* pResult);

 private:
  struct State;
  State* m_pState;
};

}  // namespace bench
