#!/usr/bin/env bash
# Cross-builds the Qt-free parts for Windows with mingw-w64 and runs their doctest
# suites under Wine (ctest's emulator) on an Xvfb display, in a Wine prefix of its
# own under build-win/:
#   build-win32/  the 32-bit (i686) device-library host dchost.exe and a 32-bit
#                 libdc.dll like the mouse maker's (build-win32/program/);
#   build-win/    the 64-bit parts (libdc.dll, dcsim.exe in build-win/program/, where
#                 the 32-bit dchost.exe is copied too) and every suite.
# Arguments go to the 64-bit configuration; a build folder is configured again when
# its options change. KELV_WIN_TESTS=0 only builds; KELV_WIN_SUITES=<regex> runs only
# the suites whose names match.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}

# configure <folder> <option>...: (re)configures when the folder has no build yet or
# was configured with other options.
configure() {
  local folder=$1
  shift
  local stamp="$folder/kelv-configure-options"
  if [ -f "$folder/build.ninja" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$*" ]; then
    return
  fi
  if [ -f "$folder/CMakeCache.txt" ]; then
    echo "build-windows: the options of $folder changed; configuring it again"
    rm -f "$folder/CMakeCache.txt"
  fi
  cmake -S . -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  printf '%s' "$*" >"$stamp"
}

configure build-win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DKELV_WITH_QT=OFF -DKELV_BUILD_TESTS=OFF -DKELV_BUILD_BENCH=OFF
cmake --build build-win32 --parallel "$jobs" --target libdc dchost

build=build-win
configure "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DKELV_WITH_QT=OFF -DKELV_BUILD_BENCH=OFF -DKELV_WIN32_PROGRAM_DIR="$root/build-win32/program" "$@"
cmake --build "$build" --parallel "$jobs"
# The program folder as it ships: the 64-bit program starts the 32-bit host beside it.
cp build-win32/program/dchost.exe "$build/program/dchost.exe"

if [ "${KELV_WIN_TESTS:-1}" = 0 ]; then
  echo "build-windows: KELV_WIN_TESTS=0: built only; the Wine suites were skipped"
  exit 0
fi

# Wine: a prefix of its own (made once, the slow part), no debug chatter, no
# Mono or Gecko installers, and one wine server for the whole run.
export WINEPREFIX="$root/$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# Wine names Unix files in the locale's character set; the suites make folders
# with Cyrillic and Japanese names, so it needs a UTF-8 one (a fresh system or
# a container may have no locale set at all: plain ASCII).
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
  export LC_ALL=C.UTF-8
fi

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

# A prefix made before the 32-bit Wine was installed cannot run 32-bit programs.
if [ -f "$WINEPREFIX/system.reg" ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
  echo "build-windows: the Wine prefix has no 32-bit part; making it again"
  rm -rf "$WINEPREFIX"
fi
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
ctest --test-dir "$build" --output-on-failure --timeout 300 --no-tests=error \
  ${KELV_WIN_SUITES:+-R "$KELV_WIN_SUITES"}
