// A gate that holds the threads that reach it until the test opens it, and tells the test how
// many have arrived: for forcing one order of events between threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class Gate {
 public:
  // Blocks the calling thread until Open.
  void Wait() {
    std::unique_lock<std::mutex> guard(m_lock);
    ++m_nArrived;
    m_changed.notify_all();
    m_changed.wait(guard, [&] { return m_bOpen; });
  }
  void Open() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bOpen = true;
    m_changed.notify_all();
  }
  // Waits until n threads have arrived; false on time-out.
  bool WaitArrived(int n, int timeoutMilliseconds = 10000) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMilliseconds), [&] { return m_nArrived >= n; });
  }
  ~Gate() { Open(); }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  int m_nArrived = 0;
  bool m_bOpen = false;
};
