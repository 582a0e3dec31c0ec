# Shared shell functions for the tests that run the real korvlog.exe under Wine.
# Source it, then: wine_require || exit $?; wine_prefix_start DIR; ...; wine_prefix_stop.
# A test that cannot run here exits with 77, which ctest reports as skipped.

WINE_SKIP=77

# wine_require [EXE]: Wine is there, and so is its 32-bit loader when EXE is a 32-bit program.
wine_require() {
  WINE_BIN=$(command -v wine || true)
  WINESERVER_BIN=$(command -v wineserver || true)
  if [ -z "$WINE_BIN" ] || [ -z "$WINESERVER_BIN" ]; then
    echo "SKIPPED: Wine is not installed (install the wine and wine64 packages)"
    return $WINE_SKIP
  fi
  if [ -n "${1:-}" ] && [ "$(wine_machine "$1")" = 014c ] && [ ! -x /usr/lib/wine/wine ]; then
    echo "SKIPPED: 32-bit Wine is not installed (install wine32:i386)"
    return $WINE_SKIP
  fi
  return 0
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
  # Booting a new prefix takes a while; the first command does it.
  "$WINE_BIN" cmd /c exit 2>>"$WINEPREFIX.log" >/dev/null || true
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

# Runs a Windows program in the current prefix; its standard output is passed through as is.
wine_run() {
  "$WINE_BIN" "$@" 2>>"$WINEPREFIX.log"
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
