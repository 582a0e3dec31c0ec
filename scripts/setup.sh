#!/usr/bin/env bash
# Installs what building and testing korvlog needs on Debian, where it is missing.
#   scripts/setup.sh           everything: the Linux build and its tests, both mingw-w64 cross
#                              builds (x86_64 and i686, win32 threads; x86_64 POSIX threads
#                              for the WMI stand-in), 64- and 32-bit Wine, and clang with
#                              libFuzzer
#   scripts/setup.sh --linux   only what the Linux build and its tests need
#   scripts/setup.sh --fuzz    the Linux build and clang with libFuzzer
set -euo pipefail

want_windows=1 want_fuzz=1
case "${1:-}" in
  --linux) want_windows=0 want_fuzz=0 ;;
  --fuzz) want_windows=0 ;;
esac

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
if [ $want_fuzz = 1 ]; then
  need clang command -v clang++
  need libclang-rt-dev compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
fi
want_i386=0
if [ $want_windows = 1 ]; then
  for arch in x86-64 i686; do
    prefix=${arch/-/_}-w64-mingw32
    need g++-mingw-w64-$arch-win32 command -v "$prefix-g++-win32"
    need gcc-mingw-w64-$arch-win32 command -v "$prefix-gcc-win32"
    need binutils-mingw-w64-$arch command -v "$prefix-windres"
  done
  # The WMI stand-in of the Wine scenario test is test code with std::thread: the x86_64
  # POSIX-thread compilers, and python3 to compare the runs.
  need g++-mingw-w64-x86-64-posix command -v x86_64-w64-mingw32-g++-posix
  need gcc-mingw-w64-x86-64-posix command -v x86_64-w64-mingw32-gcc-posix
  need python3 command -v python3
  need wine command -v wine
  need wine64 test -x /usr/lib/wine/wine64
  # The x86 build runs under the 32-bit loader, from the i386 architecture.
  need wine32:i386 test -x /usr/lib/wine/wine
  dpkg --print-foreign-architectures | grep -qx i386 || want_i386=1
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
if [ $want_i386 = 1 ]; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
