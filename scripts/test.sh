#!/usr/bin/env bash
# Builds korvlog for the simulated host and for Windows and runs every test: the unit and
# end-to-end tests on the simulated host, then korvlog.exe under Wine.
#   scripts/test.sh               what CI runs
#   scripts/test.sh --sanitizers  also the AddressSanitizer and ThreadSanitizer builds
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --workflow --preset dev
cmake --workflow --preset windows
if [ "${1:-}" = "--sanitizers" ]; then
  cmake --workflow --preset asan
  cmake --workflow --preset tsan
fi
