#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang, AddressSanitizer,
# UndefinedBehaviorSanitizer, coverage in every library of the program) in
# build-fuzz and gives each a short run on its committed seeds with
# tests/fuzz/run.sh. A crash, leak, time-out or failed invariant fails the run;
# the finding is in build-fuzz/artifacts/<target>/ and the log's tail is
# printed. Called by scripts/test.sh after the sanitizer suites.
#
#   FUZZ_SECONDS (default 8) per target, JOBS (default 2), FUZZ_BUILD (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${FUZZ_BUILD:-$root/build-fuzz}"
seconds="${FUZZ_SECONDS:-8}"
started=$(date +%s)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DKELV_FUZZ=ON -DKELV_WITH_BROWSER=OFF -DKELV_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" -j"${JOBS:-2}" fuzz_all
built=$(date +%s)

targets=(fuzz_request fuzz_profile fuzz_export fuzz_package fuzz_device_list fuzz_update_reply
  fuzz_firmware)
status=0
for target in "${targets[@]}"; do
  log="$build/logs/$target.log"
  if FUZZ_BUILD="$build" bash tests/fuzz/run.sh "$target" "$seconds"; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    echo "fuzz: $target: ${runs:-?} inputs in $seconds s, no finding"
  else
    status=1
    echo "fuzz: $target FAILED; the end of $log:"
    tail -n 40 "$log"
  fi
done

ended=$(date +%s)
echo "fuzz run: build $((built - started)) s, targets $((ended - built)) s, total $((ended - started)) s"
exit $status
