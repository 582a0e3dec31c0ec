#!/usr/bin/env bash
# Builds korvlog every way and runs every check: every test of the simulated host (dev), both
# Windows builds with their import-table checks and the Wine tests of korvlog.exe (windows:
# x86_64, x86: i686), the simulated host's tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer (asan) and ThreadSanitizer (tsan), and a smoke run of each fuzz
# target. Every step runs even when an earlier one failed; the last line counts them, and the line
# before it how many tests each step skipped (a test that cannot run here, such as the 32-bit Wine
# tests on a kernel that cannot run 32-bit programs).
#   scripts/test.sh           what CI runs
#   scripts/test.sh --quick   without the sanitizer builds (asan, tsan and the fuzz smoke)
set -uo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

bash scripts/setup.sh || exit 1

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
passed=0 failed=0 failures=() skips=()
step() {  # step NAME COMMAND...
  local name=$1 begin=$SECONDS skipped
  shift
  echo "=== $name"
  if "$@" 2>&1 | tee "$logs/$name"; then
    passed=$((passed + 1))
    echo "=== $name: passed in $((SECONDS - begin)) s"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "=== $name: FAILED after $((SECONDS - begin)) s"
  fi
  # ctest lists each skipped test as "  N - NAME (Skipped)"; the reason is in the test's output,
  # which ctest keeps in the build's LastTest.log.
  skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$logs/$name")
  skips+=("$name $skipped")
  if [ "$skipped" != 0 ]; then
    echo "=== $name: $skipped tests skipped"
    grep -h '^SKIPPED: ' "build/$name/Testing/Temporary/LastTest.log" 2>/dev/null | sort | uniq -c
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
(IFS=,; echo "skipped: ${skips[*]}" | sed 's/,/, /g')
echo "steps: $passed passed, $failed failed"
[ $failed = 0 ]
