// korvlog_bench: korvlog's message path against a reference consumer on the simulated host.
// Prints a table and a one-line summary; see README.md ("The benchmark").
//   korvlog_bench [--repeat N] [--burst N] [--idle-seconds S]   the full table (3 to 4 minutes)
//   korvlog_bench --verbose ...                                 each run's figures on standard error
//   korvlog_bench --smoke                                       a few seconds: builds and counts right
#include "Consumers.h"
#include "Measure.h"
#include "Workload.h"

#include <ksim/Faults.h>
#include <ksim/EventLog.h>
#include <ksim/Host.h>
#include <ksim/Wmi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace bench {
namespace {

struct Options {
  bool bSmoke = false;
  bool bVerbose = false;  // every run's figures on standard error
  int nRepeat = 3;
  size_t nBurst = 100000;
  size_t nWindow = 10000;
  size_t nGapMessages = 2000;
  size_t nStopInFlight = 1000;
  double dIdleSeconds = 10;
  size_t nStorm = 20000;
};

// Gaps the search tries, in microseconds.
const int64_t kGapsUs[] = {50, 100, 150, 200, 300, 400, 500, 700, 1000, 1500, 2000, 3000, 4000, 6000, 8000, 12000,
                           16000, 24000, 32000};
const size_t kGaps = sizeof(kGapsUs) / sizeof(kGapsUs[0]);

bool g_bFailed = false;

void Fail(const std::string& what) {
  fprintf(stderr, "korvlog_bench: %s\n", what.c_str());
  g_bFailed = true;
}

std::string CountText(const RunResult& r) {
  char sz[160];
  snprintf(sz, sizeof(sz), "%zu/%zu once, %zu lost, %zu doubled, %zu other%s", r.logged, r.sent, r.lost, r.doubled,
           r.other, r.stalled ? ", STALLED" : "");
  return sz;
}

// Runs body with the consumer subscribed.
template <typename Body>
void With(Consumer& consumer, Body body) {
  if (!consumer.Start()) {
    Fail(std::string(consumer.Name()) + " did not start");
    return;
  }
  ksim::wmi::WaitIdle();
  body();
  if (!consumer.Stop()) Fail(std::string(consumer.Name()) + " did not stop");
}

// The two consumers, korvlog first on even repeats and last on odd ones, so that neither always
// runs on a warmer or a colder machine.
template <typename Body>
void Alternate(Korvlog& korvlog, Reference& reference, int repeat, Body body) {
  Consumer* order[2] = {&korvlog, &reference};
  if (repeat % 2) std::swap(order[0], order[1]);
  for (Consumer* c : order) body(*c, c == &korvlog ? 0 : 1);
}

struct Burst {
  std::vector<double> cpuUs[2], consumerCpuUs[2], peakMiB[2], growthMiB[2], rate[2], inversions[2];
  std::string counts[2];
  bool bClean[2] = {true, true};
};

Burst RunBurst(const Options& o, Korvlog& korvlog, Reference& reference, Driver& driver) {
  Burst b;
  // A first burst that is not measured: the simulated event log and the driver's own records
  // grow to the size of a burst once, so that no measured run pays for that growth.
  With(reference, [&] {
    RunResult r = driver.Paced(kControllers, o.nBurst);
    driver.Count(&r);
  });
  for (int rep = 0; rep < o.nRepeat; ++rep)
    Alternate(korvlog, reference, rep, [&](Consumer& c, int i) {
      With(c, [&] {
        TrimHeap();
        ResetPeakRss();
        const int64_t rss0 = RssKiB();
        const int64_t cpu0 = ProcessCpuNs(), own0 = ThreadCpuNs(), t0 = NowNs();
        RunResult r = driver.Paced(kControllers, o.nBurst);
        const int64_t t1 = NowNs(), own1 = ThreadCpuNs(), cpu1 = ProcessCpuNs(), peak = PeakRssKiB();
        driver.Count(&r);
        const double n = static_cast<double>(r.sent ? r.sent : 1);
        b.cpuUs[i].push_back(static_cast<double>(cpu1 - cpu0) / 1000.0 / n);
        b.consumerCpuUs[i].push_back(static_cast<double>((cpu1 - cpu0) - (own1 - own0)) / 1000.0 / n);
        b.peakMiB[i].push_back(static_cast<double>(peak) / 1024.0);
        b.growthMiB[i].push_back(static_cast<double>(peak - rss0) / 1024.0);
        b.rate[i].push_back(n / (static_cast<double>(t1 - t0) / 1e9));
        b.inversions[i].push_back(static_cast<double>(r.inversions));
        // korvlog keeps each controller's order; the reference, on WMI's two threads, may not.
        if (r.inversions && &c == &korvlog) Fail("korvlog burst: " + std::to_string(r.inversions) + " order inversions");
        if (o.bVerbose)
          fprintf(stderr, "burst %-9s %8.2f us/msg, %8.2f less the driver, peak %6.1f MiB (+%5.1f)\n", c.Name(),
                  b.cpuUs[i].back(), b.consumerCpuUs[i].back(), b.peakMiB[i].back(), b.growthMiB[i].back());
        if (!r.Clean()) {
          b.bClean[i] = false;
          Fail(std::string(c.Name()) + " burst: " + CountText(r));
        }
        if (b.counts[i].empty() || !r.Clean()) b.counts[i] = CountText(r);
      });
    });
  return b;
}

struct Window {
  std::vector<double> p50[2], p90[2], p99[2];
};

Window RunWindow(const Options& o, size_t controllers, Korvlog& korvlog, Reference& reference, Driver& driver) {
  Window w;
  for (int rep = 0; rep < o.nRepeat; ++rep)
    Alternate(korvlog, reference, rep, [&](Consumer& c, int i) {
      With(c, [&] {
        RunResult r = driver.Paced(controllers, o.nWindow);
        driver.Count(&r);
        if (!r.Clean()) Fail(std::string(c.Name()) + " loss window: " + CountText(r));
        w.p50[i].push_back(Percentile(r.windowUs, 0.50));
        w.p90[i].push_back(Percentile(r.windowUs, 0.90));
        w.p99[i].push_back(Percentile(r.windowUs, 0.99));
        if (o.bVerbose)
          fprintf(stderr, "window %zu %-9s p50 %8.1f p90 %8.1f p99 %8.1f us\n", controllers, c.Name(), w.p50[i].back(),
                  w.p90[i].back(), w.p99[i].back());
      });
    });
  return w;
}

// One gapped run at kGapsUs[k]: whether it was clean, and the gap the driver kept.
bool GapRun(const Options& o, Driver& driver, int64_t gapUs, RunResult* pResult) {
  *pResult = driver.Gapped(kControllers, o.nGapMessages, gapUs * 1000);
  driver.Count(pResult);
  if (o.bVerbose)
    fprintf(stderr, "gap %6lld us (kept %8.1f): %s\n", static_cast<long long>(gapUs), pResult->gapUs,
            CountText(*pResult).c_str());
  return pResult->Clean();
}

// The smallest gap of the ladder at which a run is clean, from the smallest gap up (runs at
// small gaps lose messages within milliseconds; the largest take seconds), as the driver kept
// it. On two shared cores a consumer is sometimes not scheduled for longer than a gap, so a
// gap counts as loss-free when one of three runs is clean: the figure is what the consumer's
// own path allows. -1 when no gap of the ladder was clean.
double SearchGap(const Options& o, Driver& driver) {
  for (int64_t gapUs : kGapsUs)
    for (int attempt = 0; attempt < 3; ++attempt) {
      RunResult r;
      if (GapRun(o, driver, gapUs, &r)) return r.gapUs;
    }
  return -1;
}

struct Gap {
  std::vector<double> us[2];
  std::vector<double> lostPercent[2];  // at kFixedGapUs
};

// The gap at which the share of messages lost is compared.
const int64_t kFixedGapUs = 2000;

Gap RunGap(const Options& o, Korvlog& korvlog, Reference& reference, Driver& driver) {
  Gap g;
  for (int rep = 0; rep < o.nRepeat; ++rep)
    Alternate(korvlog, reference, rep, [&](Consumer& c, int i) {
      With(c, [&] {
        g.us[i].push_back(SearchGap(o, driver));
        RunResult r;
        GapRun(o, driver, kFixedGapUs, &r);
        g.lostPercent[i].push_back(100.0 * static_cast<double>(r.lost) / static_cast<double>(r.sent ? r.sent : 1));
      });
    });
  return g;
}

// Events queued at WMI or handled by korvlog's workers.
size_t InFlight() { return ksim::wmi::QueuedDeliveries() + static_cast<size_t>(ksim::RunningThreads()); }

struct Stop {
  std::vector<double> ms, inFlight, logged;
};

Stop RunStop(const Options& o, Korvlog& korvlog, Driver& driver) {
  Stop s;
  for (int rep = 0; rep < o.nRepeat; ++rep) {
    if (!korvlog.Start()) {
      Fail("korvlog did not start");
      return s;
    }
    RunResult r = driver.Flood(kControllers, o.nStopInFlight, 10 * o.nStopInFlight, InFlight);
    s.inFlight.push_back(static_cast<double>(InFlight()));
    const int64_t ns = korvlog.TimedStop();
    if (ns < 0) Fail("korvlog did not stop");
    s.ms.push_back(static_cast<double>(ns) / 1e6);
    ksim::Settle(60000);
    driver.Count(&r);
    s.logged.push_back(static_cast<double>(r.logged + r.doubled));
  }
  return s;
}

// The process's virtual size in KiB: what a 32-bit process runs out of first, as every thread
// reserves its stack.
int64_t VirtualKiB() {
  FILE* f = fopen("/proc/self/statm", "r");
  long long pages = 0;
  if (f) {
    if (fscanf(f, "%lld", &pages) != 1) pages = 0;
    fclose(f);
  }
  return pages * 4;
}

struct Storm {
  double sent = 0, records = 0, peakThreads = 0, peakMiB = 0, growthMiB = 0, virtualGrowthMiB = 0, seconds = 0;
};

// korvlog only: a storm against a slow event log. Every record write takes 5 ms and the driver
// sends as fast as it can store, so batches arrive far faster than workers end: the threads that
// run at once and the memory they take, and whether every notification still got its record.
// The driver overwrites its instances, so the texts are not counted, only the records.
Storm RunStorm(const Options& o, Korvlog& korvlog, Driver& driver) {
  Storm st;
  With(korvlog, [&] {
    TrimHeap();
    ResetPeakRss();
    const int64_t rss0 = RssKiB(), virtual0 = VirtualKiB();
    std::atomic<bool> done{false};
    std::atomic<long> peakThreads{0};
    std::atomic<int64_t> peakVirtual{virtual0};
    std::thread sampler([&] {
      while (!done) {
        peakThreads = std::max(peakThreads.load(), ksim::RunningThreads());
        peakVirtual = std::max(peakVirtual.load(), VirtualKiB());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    const int64_t t0 = NowNs();
    RunResult r;
    {
      ksim::ScopedHook slow("ReportEventA", "", [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
      r = driver.Flood(kControllers, static_cast<size_t>(-1), o.nStorm, [] { return size_t(0); });
      if (!ksim::Settle(600000)) Fail("the storm did not settle");
    }
    st.seconds = static_cast<double>(NowNs() - t0) / 1e9;
    done = true;
    sampler.join();
    for (const ksim::EventRecord& record : ksim::EventLogRecords())
      if (record.source == kDriver) ++st.records;
    driver.Count(&r);
    st.sent = static_cast<double>(r.sent);
    st.peakThreads = static_cast<double>(peakThreads.load());
    st.peakMiB = static_cast<double>(PeakRssKiB()) / 1024.0;
    st.growthMiB = static_cast<double>(PeakRssKiB() - rss0) / 1024.0;
    st.virtualGrowthMiB = static_cast<double>(peakVirtual.load() - virtual0) / 1024.0;
  });
  return st;
}

struct Idle {
  double cpuMs = 0, wakeups = 0, seconds = 0, threads = 0;
};

Idle RunIdle(const Options& o, Korvlog& korvlog) {
  Idle idle;
  With(korvlog, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(o.bSmoke ? 50 : 1000));
    // Everything but this thread, which only sleeps.
    const int64_t cpu0 = ProcessCpuNs() - ThreadCpuNs(), sw0 = ProcessSwitches() - ThreadSwitches();
    const int64_t t0 = NowNs();
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(o.dIdleSeconds * 1e6)));
    const int64_t cpu1 = ProcessCpuNs() - ThreadCpuNs(), sw1 = ProcessSwitches() - ThreadSwitches();
    idle.seconds = static_cast<double>(NowNs() - t0) / 1e9;
    // The two readings are taken a moment apart: a negative difference is 0.
    idle.cpuMs = std::max(0.0, static_cast<double>(cpu1 - cpu0) / 1e6);
    idle.wakeups = static_cast<double>(sw1 - sw0);
    idle.threads = static_cast<double>(ThreadCount() - 1);
  });
  return idle;
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

// A row of the table: korvlog's median, the reference's and their ratio ("-" when the
// reference's is 0 or none was found).
void Row(const char* what, const char* unit, const std::vector<double>* values, int precision) {
  const double k = Median(values[0]), r = Median(values[1]);
  char szRatio[32] = "-";
  if (r > 0 && k >= 0) snprintf(szRatio, sizeof(szRatio), "%.2f", k / r);
  printf("  %-40s %-6s %12.*f %12.*f %8s\n", what, unit, precision, k, precision, r, szRatio);
}

int Run(const Options& o) {
  SetUpMachine();
  if (!Korvlog::Install()) {
    Fail("korvlog -i failed");
    return 1;
  }
  Korvlog korvlog;
  Reference reference;
  Driver driver(o.bVerbose);

  printf("korvlog benchmark: simulated host, %zu controllers, medians of %d runs%s\n", kControllers, o.nRepeat,
         o.bSmoke ? " (smoke run: small counts, figures mean nothing)" : "");
  fflush(stdout);

  Burst b = RunBurst(o, korvlog, reference, driver);
  printf("\n  %-40s %-6s %12s %12s %8s\n", "", "", "korvlog", "reference", "ratio");
  char title[96];
  snprintf(title, sizeof(title), "burst of %zu, paced, %zu controllers", o.nBurst, kControllers);
  printf("  %s\n", title);
  Row("CPU per message, whole process", "us", b.cpuUs, 2);
  Row("CPU per message, less the driver", "us", b.consumerCpuUs, 2);
  Row("messages per second", "1/s", b.rate, 0);
  Row("peak RSS", "MiB", b.peakMiB, 1);
  Row("peak RSS above the start of the run", "MiB", b.growthMiB, 1);
  Row("order inversions per controller", "", b.inversions, 0);
  printf("  %-40s korvlog: %s\n  %-40s reference: %s\n", "logged exactly once", b.counts[0].c_str(), "",
         b.counts[1].c_str());
  fflush(stdout);

  Window w1 = RunWindow(o, 1, korvlog, reference, driver);
  Window w8 = RunWindow(o, kControllers, korvlog, reference, driver);
  printf("  loss window: notification to GetObject, %zu paced messages\n", o.nWindow);
  Row("1 controller, p50", "us", w1.p50, 1);
  Row("1 controller, p90", "us", w1.p90, 1);
  Row("1 controller, p99", "us", w1.p99, 1);
  Row("8 controllers, p50", "us", w8.p50, 1);
  Row("8 controllers, p90", "us", w8.p90, 1);
  Row("8 controllers, p99", "us", w8.p99, 1);
  fflush(stdout);

  Options og = o;
  if (o.bSmoke) og.nRepeat = 1;
  Gap g = RunGap(og, korvlog, reference, driver);
  snprintf(title, sizeof(title), "smallest loss-free gap, %zu messages", o.nGapMessages);
  printf("  %s\n", title);
  Row("per controller, 8 controllers", "us", g.us, 0);
  snprintf(title, sizeof(title), "lost at a gap of %lld us", static_cast<long long>(kFixedGapUs));
  Row(title, "%", g.lostPercent, 2);
  fflush(stdout);

  Stop s = RunStop(o, korvlog, driver);
  Storm storm = RunStorm(o, korvlog, driver);
  Idle idle = RunIdle(o, korvlog);
  printf("  korvlog alone\n");
  printf("  %-40s %-6s %12.1f   (%.0f in flight at the control, %.0f logged in all)\n", "stop: control to STOPPED", "ms",
         Median(s.ms), Median(s.inFlight), Median(s.logged));
  printf("  %-40s %-6s %12.0f   (%.0f notifications, %.0f records, in %.1f s)\n",
         "storm, 5 ms a record: threads at once", "", storm.peakThreads, storm.sent, storm.records, storm.seconds);
  printf("  %-40s %-6s %12.1f   (%.1f above the start; virtual size %.0f MiB above it)\n", "storm: peak RSS", "MiB",
         storm.peakMiB, storm.growthMiB, storm.virtualGrowthMiB);
  if (storm.records != storm.sent) Fail("the storm lost or doubled a record");
  printf("  %-40s %-6s %12.1f   (over %.1f s)\n", "idle: CPU", "ms", idle.cpuMs, idle.seconds);
  printf("  %-40s %-6s %12.0f   (context switches of the %.0f threads besides this program's)\n", "idle: wakeups", "",
         idle.wakeups, idle.threads);

  const double cpuRatio = Ratio(Median(b.consumerCpuUs[0]), Median(b.consumerCpuUs[1]));
  printf("\nsummary: %s; CPU/msg %.2f us = %.2fx reference; loss window p50 %.0f us = %.2fx (8 controllers %.2fx); "
         "loss-free gap %.1f ms = %.2fx; stop %.1f ms; idle %.1f ms CPU, %.0f wakeups in %.0f s\n",
         b.bClean[0] ? "every message logged exactly once" : "MESSAGES LOST OR DOUBLED",
         Median(b.consumerCpuUs[0]), cpuRatio, Median(w1.p50[0]), Ratio(Median(w1.p50[0]), Median(w1.p50[1])),
         Ratio(Median(w8.p50[0]), Median(w8.p50[1])), Median(g.us[0]) / 1000.0,
         Ratio(Median(g.us[0]), Median(g.us[1])), Median(s.ms), idle.cpuMs, idle.wakeups, idle.seconds);
  return g_bFailed ? 1 : 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char* argv[]) {
  bench::Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "%s needs a value\n", a.c_str());
        exit(2);
      }
      return argv[++i];
    };
    if (a == "--smoke") {
      o.bSmoke = true;
      o.nRepeat = 1;
      o.nBurst = 400;
      o.nWindow = 200;
      o.nGapMessages = 80;
      o.nStopInFlight = 100;
      o.nStorm = 200;
      o.dIdleSeconds = 0.2;
    } else if (a == "--verbose") {
      o.bVerbose = true;
    } else if (a == "--repeat") {
      o.nRepeat = atoi(value());
    } else if (a == "--burst") {
      o.nBurst = strtoul(value(), nullptr, 10);
    } else if (a == "--idle-seconds") {
      o.dIdleSeconds = atof(value());
    } else {
      fprintf(stderr, "usage: korvlog_bench [--smoke] [--verbose] [--repeat N] [--burst N] [--idle-seconds S]\n");
      return 2;
    }
  }
  if (o.nRepeat < 1 || o.nBurst < bench::kControllers) return 2;
  return bench::Run(o);
}
