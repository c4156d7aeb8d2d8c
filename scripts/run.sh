#!/usr/bin/env bash
# Sets up the machine with what building and running need (no test tools),
# builds the program and starts it from build/program/ with the simulated
# mouse. Without a desktop session it starts a virtual X server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh run
if ! KELV_BUILD_TESTS=OFF bash scripts/build.sh; then
  echo "run: the build failed (its messages are above); after fixing what they name, run this again" >&2
  exit 1
fi
if [ "$(id -u)" = 0 ]; then
  # Chromium refuses its sandbox when run as root.
  export QTWEBENGINE_DISABLE_SANDBOX=1
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] || [ -n "${QT_QPA_PLATFORM:-}" ]; then
  exec build/program/kelv "$@"
fi

# No display: a virtual X server on a display number it finds free, which
# tells it once it accepts clients, and which ends with the program.
display_dir=$(mktemp -d)
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$display_dir"
}
trap cleanup EXIT
mkfifo "$display_dir/number"
# A session of its own: Ctrl+C in the terminal reaches the program, which
# quits, not the X server under it.
setsid Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$display_dir/number" >/dev/null 2>&1 &
xvfb_pid=$!
display_number=
read -r display_number <"$display_dir/number" || true
if [ -z "$display_number" ]; then
  echo "run: the virtual X server (Xvfb) did not start" >&2
  exit 1
fi
export DISPLAY=":$display_number"
echo "run: no display found, starting the program on a virtual X server (Xvfb $DISPLAY)"

# Ctrl+C or a termination signal quits the program as its own SIGTERM does
# (edited profiles are written first); the X server ends after it.
build/program/kelv "$@" &
program=$!
trap 'kill -TERM "$program" 2>/dev/null || true' INT TERM HUP
status=0
while :; do
  wait "$program" && status=0 || status=$?
  if ! kill -0 "$program" 2>/dev/null; then break; fi
done
exit "$status"
