#!/usr/bin/env bash
# Reads the import table of a Windows executable with the cross objdump and checks every
# imported function against the allow-list: each must be listed, and the oldest Windows that
# exports it must not be newer than the build's floor.
# Usage: check-imports.sh OBJDUMP EXE ALLOW-LIST FLOOR     (FLOOR: 2000, xp, 2003, vista, 7;
#        ALLOW-LIST "-" reads the list from standard input)
set -euo pipefail
objdump=$1 exe=$2 allow=$3 floor=$4

# The Windows versions of the allow-list, oldest first, as NT version numbers.
rank() {
  case $1 in
    2000) echo 500 ;; xp) echo 501 ;; 2003) echo 502 ;; vista) echo 600 ;; 7) echo 601 ;;
    *) echo "unknown Windows version [$1]" >&2; return 1 ;;
  esac
}
floor_rank=$(rank "$floor")

# "dll function" per line, DLL names in lower case; a function imported by ordinal only shows
# as "ordinal:N".
imports=$("$objdump" -p "$exe" | awk '
  /^\tDLL Name:/ { dll = tolower($3); next }
  /^\tvma:/ { next }
  /^$/ { dll = "" }
  dll != "" && /^\t[0-9a-f]+\t/ {
    if (NF >= 3) print dll, $NF; else print dll, "ordinal:" $2
  }' | sort -u)
if [ -z "$imports" ]; then
  echo "FAIL: no imports read from $exe"
  exit 1
fi

declare -A since
while read -r dll fn version _; do
  [ -z "${dll:-}" ] || [ "${dll:0:1}" = "#" ] && continue
  rank "$version" >/dev/null
  since["${dll,,} $fn"]=$version
done < <(if [ "$allow" = - ]; then cat; else cat "$allow"; fi)

fail=0 count=0
while read -r dll fn; do
  count=$((count + 1))
  version=${since["$dll $fn"]:-}
  if [ -z "$version" ]; then
    echo "FAIL: $dll $fn is not on the allow-list"
    fail=1
  elif [ "$(rank "$version")" -gt "$floor_rank" ]; then
    echo "FAIL: $dll $fn needs Windows $version, newer than this build's floor ($floor)"
    fail=1
  fi
done <<<"$imports"
echo "$count imports of $(basename "$exe") read; floor Windows $floor"
exit $fail
