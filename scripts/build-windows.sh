#!/usr/bin/env bash
# Cross-builds the Qt-free parts for 64-bit Windows with mingw-w64 into
# build-win/ (libdc.dll and dcsim.exe in build-win/program/) with their
# doctest suites, and runs the suites under Wine (ctest's emulator) on an
# Xvfb display, in a Wine prefix of its own under build-win/.
# KELV_WIN_TESTS=0 only builds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build-win

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DKELV_WITH_QT=OFF -DKELV_BUILD_BENCH=OFF "$@"
fi
cmake --build "$build" --parallel "${JOBS:-$(nproc)}"

if [ "${KELV_WIN_TESTS:-1}" = 0 ]; then
  exit 0
fi

# Wine: a prefix of its own (made once, the slow part), no debug chatter, no
# Mono or Gecko installers, and one wine server for the whole run.
export WINEPREFIX="$root/$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

display_dir=$(mktemp -d)
cleanup() {
  wineserver -k 2>/dev/null || true
  if [ -n "${xvfb_pid:-}" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$display_dir"
}
trap cleanup EXIT
mkfifo "$display_dir/number"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_dir/number" 2>/dev/null &
xvfb_pid=$!
read -r display_number <"$display_dir/number"
export DISPLAY=":$display_number"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "build-windows: creating the Wine prefix in $WINEPREFIX"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w # until the new prefix is written and its server has ended
fi
# A persistent server (one wine server for all suites); an already running one serves too.
wineserver -p 2>/dev/null || true
# Wine starts its desktop process with the first program that makes a window;
# started here, it does not hold on to the output pipe of a test.
wine "$build/bin/test_platform_seam.exe" -tc="a request from the system*" >/dev/null 2>&1 </dev/null || true

# One suite at a time: they share the Wine desktop and its keyboard.
ctest --test-dir "$build" --output-on-failure --timeout 300
