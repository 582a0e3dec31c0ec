# Shared shell functions for the tests that run the real korvlog.exe under Wine.
# Source it, then: wine_require EXE || exit $?; wine_prefix_start DIR; ...; wine_prefix_stop.
# A test that cannot run here exits with 77, which ctest reports as skipped.
#
# Every program runs under the Wine loader of its own width, started directly, with WINELOADER
# naming it, so that the processes it starts find the right one too. /usr/bin/wine is never used:
# once wine32:i386 is installed it starts the 32-bit loader for every program, 64-bit ones
# included, and some kernels cannot execute 32-bit programs at all.

WINE_SKIP=77
# Wine's loaders (wine-env_test.sh puts stand-ins in their place).
WINE_LOADER64=${WINE_LOADER64:-/usr/lib/wine/wine64}
WINE_LOADER32=${WINE_LOADER32:-/usr/lib/wine/wine}

# wine_probe32: whether Wine's 32-bit loader runs here, found by starting it; prints one word:
#   runs      it started
#   missing   it is not installed (wine32:i386)
#   cannot    the kernel refused to execute it (no 32-bit support: "Exec format error"), or
#             KORVLOG_NO_32BIT is set, which makes a machine that can run 32-bit programs
#             answer as one that cannot
#   fails     it is there and was executed, yet failed (a broken installation)
wine_probe32() {
  if [ -n "${KORVLOG_NO_32BIT:-}" ]; then echo cannot; return 0; fi
  if [ ! -e "$WINE_LOADER32" ]; then echo missing; return 0; fi
  local out status
  out=$(LC_ALL=C "$WINE_LOADER32" --version 2>&1)
  status=$?
  if [ $status = 0 ]; then
    echo runs
  elif [ $status = 126 ] && [[ $out == *"Exec format error"* ]]; then
    echo cannot
  else
    echo fails
  fi
}

# The probe's answer for this run: the one the build's configure step passed down in
# KORVLOG_WINE32, or, for a test started by hand, a probe now. KORVLOG_NO_32BIT always counts.
wine_loader32_state() {
  if [ -n "${KORVLOG_WINE32:-}" ] && [ -z "${KORVLOG_NO_32BIT:-}" ]; then
    echo "$KORVLOG_WINE32"
  else
    wine_probe32
  fi
}

# wine_require EXE: Wine's 64-bit loader and server are there, and when EXE is a 32-bit program,
# its 32-bit loader runs here. Prints why not, on one line.
wine_require() {
  WINESERVER_BIN=$(command -v wineserver || true)
  if [ ! -x "$WINE_LOADER64" ] || [ -z "$WINESERVER_BIN" ]; then
    echo "SKIPPED: Wine is not installed (install the wine and wine64 packages)"
    return $WINE_SKIP
  fi
  if [ -z "${1:-}" ] || [ "$(wine_machine "$1")" != 014c ]; then
    return 0
  fi
  case $(wine_loader32_state) in
    runs) return 0 ;;
    missing)
      echo "SKIPPED: 32-bit Wine is not installed (install wine32:i386)"
      return $WINE_SKIP ;;
    cannot)
      echo "SKIPPED: this kernel cannot run 32-bit programs"
      return $WINE_SKIP ;;
    *)
      echo "FAIL: Wine's 32-bit loader $WINE_LOADER32 does not start:"
      LC_ALL=C "$WINE_LOADER32" --version 2>&1 | head -5
      return 1 ;;
  esac
}

# The machine field of a PE file's header, in hex: 014c for x86, 8664 for x86_64.
wine_machine() {
  local pe
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' '
}

# A fresh prefix with a persistent server; every later command joins the same Wine session.
# Standard error of the boot command (and so of services.exe and the services it starts) goes
# to $WINEPREFIX.log; WINEDEBUG decides what the eventlog channel shows there.
wine_prefix_start() {
  export WINEPREFIX=$1
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  rm -rf "$WINEPREFIX" "$WINEPREFIX.log"
  mkdir -p "$WINEPREFIX"
  "$WINESERVER_BIN" -f -p >/dev/null 2>&1 &
  WINE_SERVER_PID=$!
  # Booting a new prefix takes a while; the first command does it. The prefix is 64-bit, so is
  # its boot, whatever the test runs afterwards.
  wine_run cmd /c exit >/dev/null || true
}

# Ends the Wine session and removes the prefix: a booted prefix holds over a gigabyte of Wine's
# DLLs, and a run of every test boots a dozen. What the tests read afterwards ($WINEPREFIX.log,
# their own output files) lies beside the prefix and stays. Set KORVLOG_KEEP_WINE_PREFIX=1 to keep
# the prefix for a look inside.
wine_prefix_stop() {
  if [ -n "${WINEPREFIX:-}" ]; then
    "$WINESERVER_BIN" -k >/dev/null 2>&1 || true
    wait "${WINE_SERVER_PID:-}" 2>/dev/null || true
    if [ -z "${KORVLOG_KEEP_WINE_PREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
      # The server may still be closing its files for a moment after it was killed.
      "$WINESERVER_BIN" -w >/dev/null 2>&1 || true
      rm -rf "$WINEPREFIX"
    fi
  fi
}

# The Linux file of the program a Wine command line starts, given as a Linux path (with a slash)
# or as a path on the prefix's drive C:; nothing for a bare name, a program of Wine's own (reg,
# sc, cmd).
wine_program_file() {
  local program=$1
  case $program in
    [Cc]:\\*) program=$WINEPREFIX/drive_c/$(printf '%s' "${program:3}" | tr '\\' /) ;;
    */*) ;;
    *) return 0 ;;
  esac
  if [ -f "$program" ]; then printf '%s\n' "$program"; fi
}

# The loader for a program: the 32-bit one for a 32-bit PE file, else the 64-bit one (Wine's own
# programs are 64-bit in a 64-bit prefix).
wine_loader_for() {
  local file
  file=$(wine_program_file "$1")
  if [ -n "$file" ] && [ "$(wine_machine "$file")" = 014c ]; then
    echo "$WINE_LOADER32"
  else
    echo "$WINE_LOADER64"
  fi
}

# Runs a Windows program in the current prefix; its standard output is passed through as is.
wine_run() {
  local loader
  loader=$(wine_loader_for "$1")
  WINELOADER=$loader "$loader" "$@" 2>>"$WINEPREFIX.log"
}

# Runs a console program that always prints something, into the file $1. Now and then a Wine
# session start swallows a program's run whole (nothing printed, status 0); such a run is
# repeated, twice at most.
wine_run_printing() {
  local out=$1 attempt
  shift
  for attempt in 1 2 3; do
    wine_run "$@" >"$out"
    [ -s "$out" ] && return 0
    echo "(Wine printed nothing for [$*]; attempt $attempt)" >&2
  done
}
