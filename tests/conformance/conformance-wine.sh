#!/usr/bin/env bash
# Runs the conformance programs under Wine, one after another in one prefix; the event log's
# program reads korvlog.exe's message table. Usage: conformance-wine.sh WORKDIR KORVLOG_EXE PROGRAM...
set -u
work=$1 korvlog=$2
shift 2
. "$(dirname "$0")/../wine/wine-env.sh"
wine_require "$korvlog" || exit $?
mkdir -p "$work"
wine_prefix_start "$work/prefix"
trap wine_prefix_stop EXIT
dir="$WINEPREFIX/drive_c/conformance"
mkdir -p "$dir"
cp "$korvlog" "$dir/korvlog.exe"
fail=0
for program in "$@"; do
  name=$(basename "$program")
  cp "$program" "$dir/$name"
  out="$work/${name%.exe}.out"
  (cd "$dir" && wine_run_printing "$out" "C:\\conformance\\$name" 'C:\conformance\korvlog.exe')
  tr -d '\r' <"$out"
  grep -q " 0 failures" "$out" || { echo "FAIL: $name"; fail=1; }
done
exit $fail
