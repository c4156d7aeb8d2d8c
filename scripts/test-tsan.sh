#!/usr/bin/env bash
# Builds the suites whose code runs threads of its own (the device library's
# event thread and its routing to the backends (with stand-ins too), its ratbagd service
# thread, the device manager and its worker
# over them, in-process and through the device-library host, whose client has
# a callback thread of its own; the bound-program monitor's
# thread, the macro recorder's recording and control threads) with
# ThreadSanitizer in build-tsan and runs them. None of them needs a browser.
# A data race ends the process that found it with a failure, so the suite
# fails. Called by scripts/test.sh beside the AddressSanitizer run.
#
#   TSAN_BUILD_DIR (default build-tsan), JOBS (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${TSAN_BUILD_DIR:-$root/build-tsan}"
started=$(date +%s)

suites=(test_libdc test_devices_handler test_dchost test_bridge_device test_process_moniter
        test_macro_recorder test_ratbagd test_bridge_ratbagd test_ratbagd_fake test_ratbagd_lifecycle
        test_dc_library test_razerd test_upower_battery)

# pugixml from its source, so the monitor's document reading is seen too.
pugixml_src=$(bash "$root/scripts/sanitize/pugixml-source.sh" "$build/third_party")

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELV_PUGIXML_SOURCE_DIR="$pugixml_src" \
  -DKELV_SANITIZE_THREAD=ON -DKELV_WITH_BROWSER=OFF -DKELV_BUILD_BENCH=OFF -DKELV_FUZZ=OFF >/dev/null
# libdc, dcsim and dchost are loaded and run by the suites: built with them.
ninja -C "$build" -j"${JOBS:-2}" "${suites[@]}" libdc dcsim dchost
built=$(date +%s)

# die_after_fork=0: suites start helper programs (QProcess) from threaded
# processes; the child only execs.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=7:die_after_fork=0:ignore_noninstrumented_modules=1:suppressions=$root/scripts/sanitize/tsan.supp"
export QTWEBENGINE_DISABLE_SANDBOX=1
# The ratbagd suite once more against libratbag 0.18 (API 2: its commit end is a signal the
# service thread waits for): the same program, registered again (cmake/ratbagd.cmake).
again=(test_ratbagd_018)
regex="^($(IFS='|'; echo "${suites[*]} ${again[*]}" | tr ' ' '|'))\$"
status=0
ctest --test-dir "$build" --output-on-failure --parallel "${JOBS:-2}" --timeout 900 -R "$regex" || status=$?

ended=$(date +%s)
echo "thread sanitizer run: build $((built - started)) s, suites $((ended - built)) s, total $((ended - started)) s"
exit $status
