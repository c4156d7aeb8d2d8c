#!/usr/bin/env bash
# Sets up the machine, builds kelv and starts it from build/program/ with the
# simulated mouse. Without a desktop session it starts a virtual X server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
if [ "$(id -u)" = 0 ]; then
  # Chromium refuses its sandbox when run as root.
  export QTWEBENGINE_DISABLE_SANDBOX=1
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display found, starting the program on a virtual X server (Xvfb :77)"
  Xvfb :77 -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
  export DISPLAY=:77
  sleep 1
fi
exec build/program/kelv "$@"
