// What the benchmark measures of its own process: CPU time, peak resident memory, context
// switches, and the statistics it reports (percentiles, medians).
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

// Monotonic time in nanoseconds.
int64_t NowNs();

// CPU time (user and system) in nanoseconds: of the whole process, every thread that ever ran
// in it included, and of the calling thread alone.
int64_t ProcessCpuNs();
int64_t ThreadCpuNs();

// Context switches (voluntary and involuntary): of the whole process, and of the calling thread.
int64_t ProcessSwitches();
int64_t ThreadSwitches();

// Threads of the process now.
int64_t ThreadCount();

// Peak resident memory: ResetPeakRss() lowers the peak to what is resident now (false when the
// kernel does not allow it); PeakRssKiB() and RssKiB() read the peak and the current size.
bool ResetPeakRss();
int64_t PeakRssKiB();
int64_t RssKiB();
// Gives freed heap memory back to the system, so that one run's peak does not start from the
// last one's leftovers.
void TrimHeap();

// The q-th quantile (0..1) of the samples, nearest rank; 0 for none.
double Percentile(std::vector<double> samples, double q);
double Median(std::vector<double> values);

}  // namespace bench
