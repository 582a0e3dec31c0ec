#!/usr/bin/env bash
# korvlog's main job on the simulated host: install korvlog, start it, play a scenario of
# controllers, the RAID driver and its firmware messages, stop and uninstall it, and show the
# Application log as Event Viewer would. See README.md.
#   scripts/demo.sh                       the built-in scenario (examples/default.scenario)
#   scripts/demo.sh examples/X.scenario   another scenario
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --linux
cmake --preset dev >/dev/null
cmake --build --preset dev --target korvlog-demo >/dev/null
exec build/dev/tools/demo/korvlog-demo "$@"
