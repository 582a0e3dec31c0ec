#!/usr/bin/env bash
# Runs the real korvlog.exe as a service under Wine: installed in a fresh prefix, started with
# Wine's sc (once with a start parameter of 2000 ms), running, stopped, and removed. Wine has no
# SCSI controllers, so the service registers no query; no error record may appear on the
# eventlog channel, and the service process must not crash.
# Usage: service.sh KORVLOG_EXE KORVLOG_LINUX WORKDIR
set -u
exe=$1 work=$3
. "$(dirname "$0")/wine-env.sh"
wine_require "$exe" || exit $?

mkdir -p "$work"
# The service inherits the boot command's standard error: every record korvlog reports shows on
# the eventlog channel there (errors, warnings and, with trace, information).
export WINEDEBUG=-all,err+eventlog,warn+eventlog,trace+eventlog,err+seh
wine_prefix_start "$work/prefix"
trap wine_prefix_stop EXIT
mkdir -p "$WINEPREFIX/drive_c/korvlog"
cp "$exe" "$WINEPREFIX/drive_c/korvlog/korvlog.exe"
module='C:\korvlog\korvlog.exe'

fail=0
failed() { echo "FAIL: $*"; fail=1; }

state_of() { wine_run sc query korvlog | tr -d '\r' | sed -n 's/^ *STATE *: *\([0-9]\).*/\1/p'; }

# Waits up to $2 seconds for the service state $1 (1 stopped, 4 running).
wait_state() {
  local want=$1 limit=$2 i
  for ((i = 0; i < limit * 4; ++i)); do
    [ "$(state_of)" = "$want" ] && return 0
    sleep 0.25
  done
  return 1
}

out=$(wine_run "$module" -i korvlog -d velk4,qtr | tr -d '\r')
[ "$out" = "korvlog Service installed.
Working filepath=$module" ] || failed "install printed [$out]"

for param in "" 2000; do
  begin=$(date +%s%N)
  # shellcheck disable=SC2086
  wine_run sc start korvlog $param >"$work/start.out"
  if ! wait_state 4 60; then
    failed "the service did not reach RUNNING (start parameter [$param]); state $(state_of)"
    tr -d '\r' <"$work/start.out"
    continue
  fi
  elapsed_ms=$((($(date +%s%N) - begin) / 1000000))
  echo "running after ${elapsed_ms} ms (start parameter [$param])"
  if [ -n "$param" ] && [ "$elapsed_ms" -lt 2000 ]; then
    failed "a start parameter of 2000 did not delay the start"
  fi
  wine_run sc stop korvlog >"$work/stop.out"
  if ! wait_state 1 30; then
    failed "the service did not reach STOPPED; state $(state_of)"
    tr -d '\r' <"$work/stop.out"
  fi
  exit_code=$(wine_run sc query korvlog | tr -d '\r' | sed -n 's/^ *WIN32_EXIT_CODE *: *\([0-9]*\).*/\1/p')
  [ "$exit_code" = 0 ] || failed "the service stopped with exit code [$exit_code]"
done

out=$(wine_run "$module" -u korvlog | tr -d '\r')
[ "$out" = "korvlog Service uninstalled." ] || failed "uninstall printed [$out]"

log="$WINEPREFIX.log"
if grep -E "err:eventlog" "$log"; then failed "an error record was reported"; fi
if grep -Ei "unhandled exception|backtrace" "$log"; then failed "a process crashed"; fi
echo "eventlog channel:"
grep -E "eventlog:(ReportEvent|Register)" "$log" | sed 's/^/    /' | head -20
exit $fail
