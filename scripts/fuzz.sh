#!/usr/bin/env bash
# Builds the fuzz targets (clang's libFuzzer, with AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for a while from its seed corpus in fuzz/corpus/.
#   scripts/fuzz.sh            30 seconds per target
#   scripts/fuzz.sh SECONDS    as long as that
# New inputs go to build/fuzz/corpus/ (the seeds stay as they are); an input that fails is
# kept in build/fuzz/artifacts/ and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

bash scripts/setup.sh --fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p build/fuzz/artifacts
fail=0
for target in commandline driverlist event; do
  work=build/fuzz/corpus/$target
  log=build/fuzz/$target.log
  mkdir -p "$work"
  if build/fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix=build/fuzz/artifacts/$target- "$work" fuzz/corpus/$target >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: ${runs:-?} inputs in ${seconds} s, no failure"
  else
    echo "fuzz $target: FAILED (log: $log)"
    grep -E "ERROR|SUMMARY|artifact|Test unit written" "$log" | head -20
    fail=1
  fi
done
exit $fail
