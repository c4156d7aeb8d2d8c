#!/usr/bin/env bash
# Sets up the machine, builds kelv with its tests and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
bash scripts/build.sh
export QTWEBENGINE_DISABLE_SANDBOX=1
ctest --test-dir build --output-on-failure --parallel "${JOBS:-2}" --timeout 600
status=0
# The Debian package: built, linted, installed with apt, run as a user, purged.
bash scripts/test-package.sh || status=$?
bash scripts/test-sanitize.sh || status=$?
bash scripts/test-tsan.sh || status=$?
# The libFuzzer targets: built with clang and run a short while on their seeds.
bash scripts/test-fuzz.sh || status=$?
# The Windows half: cross-built with mingw-w64, its suites run under Wine.
bash scripts/build-windows.sh || status=$?
exit $status
