#!/usr/bin/env bash
# Installs what building and testing korvlog needs on Debian, where it is missing.
#   scripts/setup.sh           everything: the Linux build and its tests, both mingw-w64 cross
#                              builds (x86_64 and i686, win32 threads; x86_64 POSIX threads
#                              for the WMI stand-in), 64- and 32-bit Wine, wixl and msitools
#                              for the installer packages, and clang with libFuzzer
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
want_i386=0 want_wine32=0
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
  # The installer packages: wixl builds them, msitools finishes them (msibuild) and the tests
  # read them (msiinfo, msiextract).
  need wixl command -v wixl
  need msitools command -v msibuild
  need wine command -v wine
  need wine64 test -x /usr/lib/wine/wine64
  # The x86 build runs under the 32-bit loader, from the i386 architecture. It is installed
  # everywhere; whether it runs is another question, which the kernel answers (below).
  if [ ! -x /usr/lib/wine/wine ]; then want_wine32=1; fi
  dpkg --print-foreign-architectures | grep -qx i386 || want_i386=1
fi

# Says what the Wine tests of the x86 build will do here, found by starting Wine's 32-bit loader.
wine32_state() {
  . "$(dirname "$0")/../tests/wine/wine-env.sh"
  wine_probe32
}
report_wine32() {
  case $(wine32_state) in
    runs) ;;
    cannot)
      if [ -n "${KORVLOG_NO_32BIT:-}" ]; then
        echo "Note: KORVLOG_NO_32BIT is set: the Wine tests of the x86 build will be skipped, as on a kernel that cannot run 32-bit programs."
      else
        echo "Note: this kernel cannot run 32-bit programs: the Wine tests of the x86 build will be skipped."
      fi ;;
    missing) echo "Warning: Wine's 32-bit loader is not installed: the Wine tests of the x86 build will be skipped." ;;
    *)
      echo "Warning: Wine's 32-bit loader is installed but does not start: the Wine tests of the x86 build will fail."
      LC_ALL=C /usr/lib/wine/wine --version 2>&1 | head -5 ;;
  esac
}

if [ ${#missing[@]} -eq 0 ] && [ $want_wine32 = 0 ]; then
  if [ $want_windows = 1 ]; then report_wine32; fi
  exit 0
fi

all=("${missing[@]}")
if [ $want_wine32 = 1 ]; then all+=(wine32:i386); fi
echo "Installing: ${all[*]}"
sudo=""
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || { echo "Please install as root: ${all[*]}" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
if [ $want_i386 = 1 ]; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# On a kernel that cannot run 32-bit programs, an i386 package whose installation runs one of its
# own programs may fail to configure; the 64-bit tests do not need it there, and the 32-bit ones
# are skipped. Anywhere else a failed installation is a failed setup.
if [ $want_wine32 = 1 ] && ! $sudo apt-get install -y -qq wine32:i386 >/dev/null; then
  if [ "$(wine32_state)" != cannot ]; then
    echo "wine32:i386 could not be installed" >&2
    exit 1
  fi
fi
if [ $want_windows = 1 ]; then report_wine32; fi
