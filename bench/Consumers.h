// The two consumers of the controllers' messages that the benchmark compares: korvlog itself,
// installed and started through the simulated Service Control Manager, and a reference consumer
// that makes only the platform calls no consumer can avoid.
#pragma once

#include <cstdint>

namespace bench {

class Consumer {
 public:
  virtual ~Consumer() = default;
  virtual const char* Name() const = 0;
  // Subscribes (korvlog: starts the service and waits until its start-up is done).
  virtual bool Start() = 0;
  // Unsubscribes (korvlog: stops the service and waits until its process has ended).
  virtual bool Stop() = 0;
};

// korvlog: its real process entry, as the Service Control Manager runs it.
class Korvlog : public Consumer {
 public:
  // Installs the service once: korvlog -i korvlog -d <driver list>.
  static bool Install();
  const char* Name() const override { return "korvlog"; }
  bool Start() override;
  bool Stop() override;
  // Sends the stop control and waits for STOPPED: the time from the control to the STOPPED
  // report in nanoseconds, or -1 when it never came.
  int64_t TimedStop();
};

// An IWbemObjectSink that does, on WMI's delivery thread, what every consumer of these messages
// must: read InstanceName, GetObject of the instance, read its four properties and the message
// bytes, and write the record as korvlog does.
class Reference : public Consumer {
 public:
  Reference();
  ~Reference() override;
  const char* Name() const override { return "reference"; }
  bool Start() override;
  bool Stop() override;

 private:
  struct State;
  State* m_pState;
};

}  // namespace bench
