#!/usr/bin/env bash
# Builds libratbag's development daemon ratbagd.devel (the real ratbagd under the bus name
# org.freedesktop.ratbag_devel1, serving test devices) from the release tarball, for the
# suites that run kelv against the real daemon. The build is kept in the given folder and
# made once: a later call with the same tarball finds it and does nothing. Called by the
# build (target ratbagd_devel); the daemon is never copied into the repository.
#
#   scripts/ratbagd-devel.sh <libratbag-0.17.tar.gz> <folder>   -> <folder>/build/ratbagd.devel
set -euo pipefail
tarball=$1
folder=$2
mkdir -p "$folder"
exec 9>"$folder/.lock" # one build at a time, whichever build folder asks
flock 9

binary="$folder/build/ratbagd.devel"
stamp="$folder/.built-from"
sum=$(sha256sum "$tarball" | cut -d' ' -f1)
if [ -x "$binary" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$sum" ]; then
  touch "$binary"
  exit 0
fi

rm -rf "$folder/src" "$folder/build" "$stamp"
mkdir -p "$folder/src"
tar -xzf "$tarball" -C "$folder/src" --strip-components=1
started=$(date +%s)
meson setup "$folder/build" "$folder/src" -Dsystemd=false -Ddocumentation=false -Dtests=true \
  >"$folder/meson.log" 2>&1 || { cat "$folder/meson.log" >&2; exit 1; }
ninja -C "$folder/build" -j"${JOBS:-2}" ratbagd.devel >>"$folder/meson.log" 2>&1 ||
  { tail -50 "$folder/meson.log" >&2; exit 1; }
echo "$sum" >"$stamp"
echo "ratbagd.devel built in $(($(date +%s) - started)) s: $binary"
