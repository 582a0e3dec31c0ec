#!/usr/bin/env bash
# The console bytes of korvlog.exe under Wine equal those of the Linux build, command line by
# command line. Usage: cmdline.sh KORVLOG_EXE KORVLOG_LINUX WORKDIR
set -u
exe=$1 linux=$2 work=$3
. "$(dirname "$0")/wine-env.sh"
wine_require "$exe" || exit $?
if [ ! -x "$linux" ]; then
  echo "SKIPPED: the Linux build is missing at $linux (build the dev preset first)"
  exit $WINE_SKIP
fi

mkdir -p "$work"
# Both builds print the program name; give both the same one.
cp "$exe" "$work/korvlog.exe"
cp "$linux" "$work/korvlog"
wine_prefix_start "$work/prefix"
trap wine_prefix_stop EXIT

long=$(printf 'n%.0s' $(seq 1 256))
cases=(
  ""
  "-h"
  "stray"
  "-I"
  "-i"
  "-i -d velk4"
  "-c name"
  "-C name"
  "-i name -u name"
  "-u"
  "-d"
  "-d velk4"
  "-d velk4,qtr -d"
  "-i $long -d velk4"
  "-u $long"
  "-d -i name"
  "-x -d velk4"
)

fail=0
for args in "${cases[@]}"; do
  # shellcheck disable=SC2086
  (cd "$work" && wine_run_printing "$work/wine.out" ./korvlog.exe $args)
  # shellcheck disable=SC2086
  (cd "$work" && KSIM_MODULE_PATH='C:\korvlog\korvlog.exe' ./korvlog $args) >"$work/linux.out"
  if ! cmp -s "$work/wine.out" "$work/linux.out"; then
    echo "DIFFERENT for [$args]"
    echo "--- Wine"; od -c "$work/wine.out" | tail -5
    echo "--- Linux"; od -c "$work/linux.out" | tail -5
    fail=1
  elif [ ! -s "$work/wine.out" ]; then
    echo "EMPTY output for [$args]"
    fail=1
  else
    echo "same for [$args] ($(wc -c <"$work/wine.out") bytes)"
  fi
done
exit $fail
