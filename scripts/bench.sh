#!/usr/bin/env bash
# korvlog's message path against a reference consumer on the simulated host: builds the bench
# preset (Release, -O2) and prints the table and its one-line summary. See README.md.
#   scripts/bench.sh                    the full table (3 to 4 minutes)
#   scripts/bench.sh --repeat 5         more runs per figure (medians)
#   scripts/bench.sh --smoke            a few seconds: it builds and counts right
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --linux
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
exec build/bench/bench/korvlog_bench "$@"
