#!/usr/bin/env bash
# Builds kelv with AddressSanitizer and UndefinedBehaviorSanitizer (without the
# parts that need Qt WebEngine) in build-asan and runs every native test suite
# there. Any sanitizer finding ends the process that made it with a failure,
# so the suite fails. Called by scripts/test.sh after the normal suite.
#
#   BUILD_TYPE=Debug|RelWithDebInfo (default Debug), JOBS (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${ASAN_BUILD_DIR:-$root/build-asan}"
started=$(date +%s)

# pugixml is compiled from its source here, so AddressSanitizer sees inside it.
pugixml_src=$(bash "$root/scripts/sanitize/pugixml-source.sh" "$build/third_party")

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Debug}" \
  -DKELV_PUGIXML_SOURCE_DIR="$pugixml_src" \
  -DKELV_SANITIZE=ON -DKELV_WITH_BROWSER=OFF -DKELV_BUILD_BENCH=OFF -DKELV_FUZZ=OFF >/dev/null
ninja -C "$build" -j"${JOBS:-2}"
built=$(date +%s)

# halt_on_error/abort: the first finding ends the process with a failure.
# Leaks are checked at exit (detect_leaks=1); the suppressions name only leaks
# inside third-party libraries, each with its reason in the file.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1:detect_invalid_pointer_pairs=0:print_summary=1"
export LSAN_OPTIONS="suppressions=$root/scripts/sanitize/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:print_summary=1"
export QTWEBENGINE_DISABLE_SANDBOX=1

# Browser suites are not built here; the page's Node tests have no native code.
status=0
ctest --test-dir "$build" --output-on-failure --parallel "${JOBS:-2}" --timeout 900 \
  --label-exclude 'browser|view' || status=$?

ended=$(date +%s)
echo "sanitizer run: build $((built - started)) s, suites $((ended - built)) s, total $((ended - started)) s"
exit $status
