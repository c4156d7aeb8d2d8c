#!/usr/bin/env bash
# Configures and builds kelv into build/ (the program folder is build/program/).
set -euo pipefail
cd "$(dirname "$0")/.."
build_type=${BUILD_TYPE:-RelWithDebInfo}
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="$build_type" "$@"
fi
cmake --build build --parallel "${JOBS:-$(nproc)}"
