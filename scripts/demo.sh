#!/usr/bin/env bash
# korvlog's main job on the simulated host. See README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --linux
cmake --preset dev >/dev/null
cmake --build --preset dev --target korvlog >/dev/null
korvlog=build/dev/src/korvlog

show() {
  echo "\$ korvlog $*"
  KSIM_MODULE_PATH='C:\korvlog\korvlog.exe' "$korvlog" "$@" | tr -d '\r' || true
  echo
  echo
}
show
show -c korvlog
show -d velk4,qtr
