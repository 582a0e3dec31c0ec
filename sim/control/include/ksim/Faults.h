// Fault injection and call recording for every simulated call.
//
// A simulated call names itself ("RegisterEventSourceA", "IWbemServices::GetObject", ...) and,
// where it helps, a selector (a source name, a namespace, a class or property name). Every call
// is recorded in order. A test installs a ScopedFault to make matching calls fail; the fault is
// undone when the object goes out of scope.
#pragma once

#include <simwin/windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ksim {

struct Fault {
  Fault() = default;
  Fault(std::string call_, std::string selector_ = {}, unsigned occurrence_ = 0, bool andAfter_ = false,
        int64_t result_ = 0, DWORD lastError_ = 0, int variant_ = 0)
      : call(std::move(call_)),
        selector(std::move(selector_)),
        occurrence(occurrence_),
        andAfter(andAfter_),
        result(result_),
        lastError(lastError_),
        variant(variant_) {}

  std::string call;         // the simulated call, e.g. "CreateEventA"
  std::string selector;     // empty matches any; otherwise compared without regard to case
  unsigned occurrence = 0;  // 0: every matching call; n: the n-th matching call (1-based)
  bool andAfter = false;    // with occurrence n: the n-th matching call and every later one
  int64_t result = 0;       // what the call returns instead (call-specific: BOOL, HRESULT, LONG)
  DWORD lastError = 0;      // the last error the failing call leaves behind
  int variant = 0;          // call-specific alternative (for example: succeed with a null result)
};

class ScopedFault {
 public:
  explicit ScopedFault(Fault fault);
  ~ScopedFault();
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;

  // How many calls this fault has changed so far.
  unsigned Hits() const;

 private:
  uint64_t m_id;
};

// Runs an action on the calling thread whenever a matching call is entered, before the call
// does its work (and before any fault applies). For ordering tests and deterministic races.
class ScopedHook {
 public:
  ScopedHook(std::string call, std::string selector, std::function<void()> action);
  ~ScopedHook();
  ScopedHook(const ScopedHook&) = delete;
  ScopedHook& operator=(const ScopedHook&) = delete;

 private:
  uint64_t m_id;
};

struct Call {
  uint64_t sequence;
  std::string call;
  std::string selector;
  DWORD threadId;
};

// The recorded calls in order; with a name, only the calls of that name.
std::vector<Call> Calls(const std::string& call = {});
size_t CountCalls(const std::string& call, const std::string& selector = {});
void ClearCalls();
void SetCallRecording(bool enabled);

// Live-object accounting: "handles", "critical_sections", "threads", "bstrs", "com_objects", ...
int64_t LiveCount(const std::string& kind);

}  // namespace ksim
