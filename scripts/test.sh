#!/usr/bin/env bash
# Builds korvlog every way and runs every check: every test of the simulated host (dev), both
# Windows builds with their import-table checks and the Wine tests of korvlog.exe (windows:
# x86_64, x86: i686), the simulated host's tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer (asan) and ThreadSanitizer (tsan), and a smoke run of each fuzz
# target. Every step runs even when an earlier one failed; the last line counts them.
#   scripts/test.sh           what CI runs
#   scripts/test.sh --quick   without the sanitizer builds (asan, tsan and the fuzz smoke)
set -uo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

bash scripts/setup.sh || exit 1

passed=0 failed=0 failures=()
step() {  # step NAME COMMAND...
  local name=$1 begin=$SECONDS
  shift
  echo "=== $name"
  if "$@"; then
    passed=$((passed + 1))
    echo "=== $name: passed in $((SECONDS - begin)) s"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "=== $name: FAILED after $((SECONDS - begin)) s"
  fi
}

# The Wine tests compare korvlog.exe with the dev build, so dev comes first.
step dev cmake --workflow --preset dev
step windows cmake --workflow --preset windows
step x86 cmake --workflow --preset x86
if [ $quick = 0 ]; then
  step asan cmake --workflow --preset asan
  step tsan cmake --workflow --preset tsan
  step fuzz bash scripts/fuzz.sh 30
fi

[ $failed = 0 ] || echo "failed steps: ${failures[*]}"
echo "steps: $passed passed, $failed failed"
[ $failed = 0 ]
