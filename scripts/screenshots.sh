#!/usr/bin/env bash
# Screenshots of every screen state of the page in every language at 800 x 600
# (English also at 1920 x 1080), taken in the real program (private Xvfb,
# simulated mouse in a temporary folder).
# Usage: scripts/screenshots.sh [out dir]   (default /work/notes/shots)
# KELV_PROGRAM_DIR picks the program folder (default build/program).
set -euo pipefail
cd "$(dirname "$0")/.."
export KELV_PROGRAM_DIR="${KELV_PROGRAM_DIR:-$PWD/build/program}"
exec node scripts/screenshots.mjs "${1:-${KELV_SHOTS_DIR:-/work/notes/shots}}"
