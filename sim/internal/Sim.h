// What every simulated call uses: call recording, fault lookup and live-object counters.
#pragma once

#include <ksim/Faults.h>

#include <optional>
#include <string>

namespace ksim::detail {

// Records the call, runs the hooks that match it, and returns the fault that applies, if any.
std::optional<Fault> Enter(const char* call, const std::string& selector = {});

void AddLive(const char* kind, int64_t delta);

// How many of the simulated host's own locks the calling thread holds. A thread of an ended
// process is cut at its next call, but never while it holds one of them: the rest of the machine
// would wait for it for ever.
inline thread_local int t_nHostLocksHeld = 0;

// ASCII case-blind equality, as the simulated host compares names.
bool EqualsNoCase(const std::string& a, const std::string& b);

}  // namespace ksim::detail
