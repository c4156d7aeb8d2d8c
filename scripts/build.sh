#!/usr/bin/env bash
# Configures and builds kelv into build/ (the program folder is build/program/).
# KELV_BUILD_TESTS=OFF builds the program alone (what scripts/run.sh needs);
# the default builds the test suites and benchmarks too. BUILD_TYPE (default
# RelWithDebInfo) and JOBS (default: every core) as usual.
set -euo pipefail
cd "$(dirname "$0")/.."
build_type=${BUILD_TYPE:-RelWithDebInfo}
tests=${KELV_BUILD_TESTS:-ON}
# Configured again only when the build's options change.
cached() { sed -n "s/^$1:[A-Z]*=//p" build/CMakeCache.txt 2>/dev/null; }
if [ ! -f build/build.ninja ] || [ "$(cached KELV_BUILD_TESTS)" != "$tests" ] || [ $# -gt 0 ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="$build_type" \
    -DKELV_BUILD_TESTS="$tests" -DKELV_BUILD_BENCH="$tests" "$@"
fi
cmake --build build --parallel "${JOBS:-$(nproc)}"
