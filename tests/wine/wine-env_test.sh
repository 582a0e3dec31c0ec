#!/usr/bin/env bash
# Checks the loader choice of wine-env.sh without Wine: stand-in loaders (scripts that log how
# they were started, and a program the kernel refuses to execute), and PE headers of both widths.
# A 64-bit program must never go through the 32-bit loader, and a 32-bit test must be skipped
# with its reason where that loader cannot run, and run where it can.
set -u
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0
check() {  # check WHAT GOT WANT
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1: got [$2], want [$3]"
    fail=1
  fi
}

# A PE header: "MZ", the header's offset at 60, "PE\0\0" and the machine field there.
pe() {  # pe FILE MACHINE-BYTES
  { printf 'MZ'; head -c 58 /dev/zero; printf '\100\0\0\0PE\0\0'"$2"; head -c 64 /dev/zero; } >"$1"
}
pe "$tmp/x86.exe" '\114\001'
pe "$tmp/x64.exe" '\144\206'

# Loaders that log their name, WINELOADER and arguments; a wineserver that does nothing.
mkdir -p "$tmp/bin"
for name in wine wine64 wineserver; do
  printf '#!/bin/sh\nprintf "%%s\\n" "$(basename "$0") WINELOADER=$WINELOADER $*" >>"%s/started"\n' "$tmp" >"$tmp/bin/$name"
  chmod +x "$tmp/bin/$name"
done
printf '#!/bin/sh\nexit 1\n' >"$tmp/broken"
chmod +x "$tmp/broken"
# An ELF file of a machine no kernel here runs: executing it fails with "Exec format error", as a
# 32-bit program does on a kernel without 32-bit support.
{ printf '\177ELF\001\001\001\0'; head -c 8 /dev/zero; printf '\002\0\167\167\001\0\0\0'; head -c 96 /dev/zero; } >"$tmp/refused"
chmod +x "$tmp/refused"

# In a subshell: wine-env.sh with the stand-ins and the environment given as VAR=VALUE words.
env_run() {  # env_run LOADER32 VAR=VALUE... -- COMMAND...
  local loader32=$1
  shift
  (
    unset KORVLOG_WINE32 KORVLOG_NO_32BIT
    while [ "$1" != -- ]; do export "${1?}"; shift; done
    shift
    WINE_LOADER32=$loader32 WINE_LOADER64=$tmp/bin/wine64 PATH=$tmp/bin:$PATH
    . "$here/wine-env.sh"
    "$@"
  )
}

# The probe starts the loader, and the answer passed down by the configure step counts unless
# the switch is set.
while read -r loader want vars; do
  # shellcheck disable=SC2086
  check "probe of [$loader] with [$vars]" "$(env_run "$tmp/$loader" $vars -- wine_loader32_state)" "$want"
done <<'EOF'
bin/wine  runs
absent    missing
refused   cannot
broken    fails
bin/wine  cannot   KORVLOG_NO_32BIT=1
refused   runs     KORVLOG_WINE32=runs
bin/wine  cannot   KORVLOG_WINE32=cannot
bin/wine  cannot   KORVLOG_WINE32=runs KORVLOG_NO_32BIT=1
EOF

# wine_require: a 32-bit program needs a 32-bit loader that runs; a 64-bit one never does.
while read -r exe loader status line; do
  out=$(env_run "$tmp/$loader" -- wine_require "$tmp/$exe")
  check "wine_require $exe with [$loader]: status" "$?" "$status"
  line=${line#-}
  check "wine_require $exe with [$loader]: first line" "$(printf '%s\n' "$out" | head -1)" "${line//TMP/$tmp}"
done <<'EOF'
x86.exe bin/wine 0  -
x86.exe absent   77 SKIPPED: 32-bit Wine is not installed (install wine32:i386)
x86.exe refused  77 SKIPPED: this kernel cannot run 32-bit programs
x86.exe broken   1  FAIL: Wine's 32-bit loader TMP/broken does not start:
x64.exe refused  0  -
x64.exe absent   0  -
EOF
check "wine_require without Wine" "$(WINE_LOADER64=$tmp/absent bash -c ". '$here/wine-env.sh'; wine_require '$tmp/x64.exe'; echo \$?")" \
  "SKIPPED: Wine is not installed (install the wine and wine64 packages)
77"

# wine_run: every program by its own width, Wine's own programs (a bare name, even where a file
# of that name lies in the folder) and the prefix's boot by the 64-bit loader; each loader is
# named in WINELOADER.
mkdir -p "$tmp/cwd"
cp "$tmp/x86.exe" "$tmp/cwd/reg"
cp "$tmp/x86.exe" "$tmp/cwd/k.exe"
runs() {
  wine_require "$tmp/x64.exe"
  wine_prefix_start "$tmp/prefix"
  mkdir -p "$tmp/prefix/drive_c/dir with blank"
  cp "$tmp/x86.exe" "$tmp/prefix/drive_c/dir with blank/a.exe"
  cp "$tmp/x64.exe" "$tmp/prefix/drive_c/dir with blank/b.exe"
  wine_run 'c:\dir with blank\a.exe' -h
  wine_run 'C:\dir with blank\b.exe' -h
  wine_run 'C:\dir with blank\missing.exe'
  wine_run "$tmp/x64.exe"
  wine_run ./k.exe
  wine_run reg query x
}
rm -f "$tmp/started"
(cd "$tmp/cwd" && env_run "$tmp/bin/wine" KORVLOG_KEEP_WINE_PREFIX=1 -- runs)
check "the loaders started" "$(grep -v '^wineserver' "$tmp/started")" \
"wine64 WINELOADER=$tmp/bin/wine64 cmd /c exit
wine WINELOADER=$tmp/bin/wine c:\\dir with blank\\a.exe -h
wine64 WINELOADER=$tmp/bin/wine64 C:\\dir with blank\\b.exe -h
wine64 WINELOADER=$tmp/bin/wine64 C:\\dir with blank\\missing.exe
wine64 WINELOADER=$tmp/bin/wine64 $tmp/x64.exe
wine WINELOADER=$tmp/bin/wine ./k.exe
wine64 WINELOADER=$tmp/bin/wine64 reg query x"
exit $fail
