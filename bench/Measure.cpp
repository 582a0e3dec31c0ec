#include "Measure.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <sys/resource.h>

namespace bench {
namespace {

int64_t UsageCpuNs(int who) {
  rusage ru{};
  getrusage(who, &ru);
  auto ns = [](const timeval& tv) { return static_cast<int64_t>(tv.tv_sec) * 1000000000 + tv.tv_usec * 1000; };
  return ns(ru.ru_utime) + ns(ru.ru_stime);
}

int64_t UsageSwitches(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return ru.ru_nvcsw + ru.ru_nivcsw;
}

// A number field of /proc/self/status.
int64_t StatusField(const char* field) {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  int64_t value = -1;
  const size_t n = strlen(field);
  while (fgets(line, sizeof(line), f))
    if (strncmp(line, field, n) == 0) {
      value = strtoll(line + n, nullptr, 10);
      break;
    }
  fclose(f);
  return value;
}

}  // namespace

// The steady clock is CLOCK_MONOTONIC on Linux, the clock SleepUntil waits on.
int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
// Both from getrusage, so that one can be taken from the other at the same resolution; only
// getrusage counts the threads of the process that have ended.
int64_t ProcessCpuNs() { return UsageCpuNs(RUSAGE_SELF); }
int64_t ThreadCpuNs() { return UsageCpuNs(RUSAGE_THREAD); }
int64_t ProcessSwitches() { return UsageSwitches(RUSAGE_SELF); }
int64_t ThreadSwitches() { return UsageSwitches(RUSAGE_THREAD); }

int64_t ThreadCount() { return StatusField("Threads:"); }

bool ResetPeakRss() {
  FILE* f = fopen("/proc/self/clear_refs", "w");
  if (!f) return false;
  const bool ok = fputs("5", f) >= 0;
  return fclose(f) == 0 && ok;
}

int64_t PeakRssKiB() { return StatusField("VmHWM:"); }
int64_t RssKiB() { return StatusField("VmRSS:"); }
void TrimHeap() { malloc_trim(0); }

double Percentile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
  if (rank > 0) --rank;
  return samples[std::min(rank, samples.size() - 1)];
}

double Median(std::vector<double> values) { return Percentile(std::move(values), 0.5); }

}  // namespace bench
