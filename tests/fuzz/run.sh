#!/usr/bin/env bash
# Runs one fuzz target: tests/fuzz/run.sh <target> [seconds] [extra libFuzzer flags]
# from a build configured with -DKELV_FUZZ=ON (FUZZ_BUILD, default build-fuzz).
# New inputs go to <build>/corpus/<target>; the committed seeds are read too.
# The log is <build>/logs/<target>.log.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${FUZZ_BUILD:-$here/../../build-fuzz}"
target="$1"
seconds="${2:-600}"
shift $(( $# >= 2 ? 2 : 1 ))
args=()
case "$target" in
  fuzz_request) args+=(-dict="$here/request.dict" -max_len=4096) ;;
  fuzz_profile) args+=(-dict="$here/profile.dict" -max_len=8192) ;;
  fuzz_firmware) args+=(-max_len=68000) ;;
  fuzz_device_list) args+=(-max_len=43000) ;;
  *) args+=(-max_len=8192) ;;
esac
mkdir -p "$build/corpus/$target" "$build/logs" "$build/artifacts/$target"
cd "$build"
exec nice -n 10 "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/$target/" "${args[@]}" "$@" \
  "$build/corpus/$target" "$here/corpus/$target" >"$build/logs/$target.log" 2>&1
