#!/usr/bin/env bash
# Installs what building and testing korvlog needs on Debian, where it is missing.
#   scripts/setup.sh           everything: the Linux build, its tests, the mingw-w64 cross build and Wine
#   scripts/setup.sh --linux   only what the Linux build and its tests need
set -euo pipefail

want_windows=1
[ "${1:-}" = "--linux" ] && want_windows=0

missing=()
need() {  # need PACKAGE TEST-COMMAND...
  local pkg=$1; shift
  if ! "$@" >/dev/null 2>&1; then missing+=("$pkg"); fi
}
need cmake command -v cmake
need make command -v make
need g++ command -v g++
need libgtest-dev test -f /usr/include/gtest/gtest.h
need googletest test -d /usr/src/googletest
if [ $want_windows = 1 ]; then
  need g++-mingw-w64-x86-64-posix command -v x86_64-w64-mingw32-g++-posix
  need gcc-mingw-w64-x86-64-posix command -v x86_64-w64-mingw32-gcc-posix
  need binutils-mingw-w64-x86-64 command -v x86_64-w64-mingw32-windres
  need wine command -v wine
  need wine64 test -x /usr/lib/wine/wine64
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || { echo "Please install as root: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
