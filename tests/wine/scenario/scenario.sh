#!/usr/bin/env bash
# Plays every scenario with the real korvlog.exe under Wine, installed and started by Wine's
# Service Control Manager, with the WMI stand-in loaded in place of Wine's WMI, and compares the
# steps, the Application records and the status reports with what the demo prints for the same
# scenario on the simulated host (compare.py; the expected Wine gaps are listed there).
# Usage: scenario.sh KORVLOG_EXE DEMO WORKDIR STANDIN_DLL PLAYER_EXE SCENARIO...
set -u
exe=$1 demo=$2 work=$3 standin=$4 player=$5
shift 5
here=$(dirname "$0")
. "$here/../wine-env.sh"
wine_require "$exe" || exit $?
if [ ! -x "$demo" ]; then
  echo "FAIL: the demo of the dev build is missing ($demo): build the dev preset first"
  exit 1
fi

# Records show on the eventlog channel (with their type) and on the advapi one (source and
# event ID); status reports on the service channel; +pid tells the processes apart.
export WINEDEBUG=-all,err+eventlog,warn+eventlog,trace+eventlog,fixme+advapi,trace+service,err+seh,+pid
mkdir -p "$work"
trap wine_prefix_stop EXIT
fail=0
for scenario in "$@"; do
  name=$(basename "$scenario" .scenario)
  out="$work/$name"
  mkdir -p "$out"
  echo "=== $name"
  "$demo" "$scenario" >"$out/demo.out" 2>&1 || { echo "FAIL: the demo failed on $scenario"; fail=1; continue; }

  # A fresh prefix for each scenario, so that one scenario's service never meets the next.
  wine_prefix_start "$out/prefix"
  dir="$WINEPREFIX/drive_c/korvlog"
  mkdir -p "$dir"
  cp "$exe" "$dir/korvlog.exe"
  cp "$standin" "$dir/korvlog-wmi-standin.dll"
  cp "$player" "$dir/korvlog-scenario.exe"
  cp "$scenario" "$dir/$name.scenario"
  begin=$SECONDS
  wine_run 'C:\korvlog\korvlog-scenario.exe' "C:\\korvlog\\$name.scenario" >"$out/wine.out"
  rc=$?
  wine_prefix_stop
  cp "$WINEPREFIX.log" "$out/wine.log"
  echo "  played under Wine in $((SECONDS - begin)) s"
  if [ $rc != 0 ]; then
    echo "FAIL: the player failed (status $rc):"
    grep -v "^[0-9a-f]*:[0-9a-f]*:" "$out/wine.log" | grep -v "korvlog-scenario: step" | tail -5
    fail=1
  fi
  if grep -Ei "unhandled exception|backtrace" "$out/wine.log"; then
    echo "FAIL: a process crashed"
    fail=1
  fi
  python3 "$here/compare.py" "$out/demo.out" "$out/wine.out" "$out/wine.log" || fail=1
done
exit $fail
