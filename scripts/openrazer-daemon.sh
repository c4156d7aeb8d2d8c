#!/usr/bin/env bash
# Fetches Debian's openrazer-daemon package with apt-get and unpacks it (dpkg-deb -x) into the
# given folder, once, for the suites and benchmarks that run kelv against OpenRazer's real
# daemon. Only the daemon's Python modules are used (its kernel driver is not needed: the
# suites serve fake device folders through its --test-dir); its Python dependencies come
# from scripts/setup.sh's test list. A later call finds the unpacked daemon and does nothing.
#
#   scripts/openrazer-daemon.sh <folder>   -> <folder>/usr/lib/python3/dist-packages/openrazer_daemon
#
# Exits 0 without a daemon when the package cannot be downloaded (no mirror): the suites then
# skip and say why (<folder>/.unavailable holds the reason).
set -euo pipefail
folder=$1
mkdir -p "$folder"
exec 9>"$folder/.lock" # one fetch at a time, whichever build folder asks
flock 9

module="$folder/usr/lib/python3/dist-packages/openrazer_daemon/daemon.py"
if [ -f "$module" ]; then
  exit 0
fi
rm -f "$folder/.unavailable"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && apt-get download openrazer-daemon) >"$work/download.log" 2>&1; then
  { echo "apt-get download openrazer-daemon failed:"; tail -3 "$work/download.log"; } \
    >"$folder/.unavailable"
  cat "$folder/.unavailable" >&2
  exit 0
fi
dpkg-deb -x "$work"/openrazer-daemon_*.deb "$folder"
echo "openrazer-daemon $(dpkg-deb -f "$work"/openrazer-daemon_*.deb Version) unpacked into $folder"
