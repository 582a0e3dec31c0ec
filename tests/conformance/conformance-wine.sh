#!/usr/bin/env bash
# Runs the COM/WMI conformance program under Wine. Usage: conformance-wine.sh EXE WORKDIR
set -u
exe=$1 work=$2
. "$(dirname "$0")/../wine/wine-env.sh"
wine_require || exit $?
mkdir -p "$work"
cp "$exe" "$work/conformance.exe"
wine_prefix_start "$work/prefix"
trap wine_prefix_stop EXIT
(cd "$work" && wine_run ./conformance.exe)
