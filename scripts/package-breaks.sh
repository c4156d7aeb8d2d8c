#!/usr/bin/env bash
# Breaks each rule of the Debian package on purpose, one at a time, in a copy of the
# built package, and shows that the check guarding it fails with the expected line:
# scripts/package-check.sh for what the package holds, and (with --install)
# scripts/test-package.sh for what installing and purging it does. Not run by CI
# (lintian reads every broken package: about two minutes; --install adds two).
# Exit status 1 when a break went unnoticed.
# Usage: scripts/package-breaks.sh [--install]
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD
install=0
[ "${1:-}" = --install ] && install=1

good=$(ls build-package/kelv_*_amd64.deb 2>/dev/null || true)
if [ -z "$good" ]; then
  bash scripts/package.sh >/dev/null
  good=$(ls build-package/kelv_*_amd64.deb)
fi
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
dpkg-deb -R "$good" "$work/good"

missed=0
# try <what> <expected line part> <checker> <mutation...>: the mutation runs in the
# unpacked copy; the checker must fail and print the expected text.
try() {
  local what=$1 expected=$2 checker=$3
  shift 3
  rm -rf "$work/tree" "$work/broken.deb"
  cp -a "$work/good" "$work/tree"
  (cd "$work/tree" && "$@")
  dpkg-deb --root-owner-group -Zgzip -z1 --build "$work/tree" "$work/broken.deb" >/dev/null
  local status=0
  bash "scripts/$checker" "$work/broken.deb" >"$work/out" 2>&1 || status=$?
  if ((status)) && grep -qF -- "$expected" "$work/out"; then
    echo "caught: $what -> $(grep -F -m1 -- "$expected" "$work/out")"
  else
    echo "MISSED: $what (status $status; expected '$expected')"
    missed=$((missed + 1))
  fi
}

lib=usr/lib/kelv
meta=usr/share/metainfo/io.kelv.kelv.metainfo.xml
control=DEBIAN/control
try "marker dropped" "no /usr/lib/kelv/Resources/packaged" package-check.sh \
  rm "$lib/Resources/packaged"
try "metainfo without a summary" "appstreamcli validate" package-check.sh \
  sed -i '/<summary>/d' "$meta"
try "metainfo not XML" "appstreamcli validate" package-check.sh \
  sed -i 's|</component>||' "$meta"
try "metainfo release behind the program" "newest release" package-check.sh \
  sed -i 's/<release version="[^"]*"/<release version="0.9.0"/' "$meta"
try "menu entry of an unknown type" "desktop-file-validate" package-check.sh \
  sed -i 's/^Type=Application/Type=Program/' usr/share/applications/kelv.desktop
try "Depends written by hand" "Depends has no computed 'libqt6core6" package-check.sh \
  sed -i 's/^Depends: .*/Depends: libqt6webenginecore6-bin, fonts-wqy-microhei/' "$control"
try "ratbagd not recommended" "Recommends lacks ratbagd" package-check.sh \
  sed -i 's/^Recommends: ratbagd, /Recommends: /' "$control"
try "a test program shipped" "do not belong in the package: /$lib/test_profiles" package-check.sh \
  cp "$lib/dcsim" "$lib/test_profiles"
try "the Updater shipped" "do not belong in the package: /$lib/Updater" package-check.sh \
  cp "$lib/dcsim" "$lib/Updater"
try "the simulator's state shipped" "do not belong in the package: /$lib/simulator" package-check.sh \
  mkdir "$lib/simulator"
try "an unstripped program" "/$lib/kelv is not stripped" package-check.sh \
  cp "$here/build-package/program/kelv" "$lib/kelv"
try "/usr/bin/kelv a copy" "/usr/bin/kelv is not a link" package-check.sh \
  sh -c 'rm usr/bin/kelv && cp usr/lib/kelv/kelv usr/bin/kelv'
try "a file outside /usr" "files outside /usr: /etc" package-check.sh \
  sh -c 'mkdir -p etc/kelv && echo x >etc/kelv/x'
try "a world-writable profile" "world-writable" package-check.sh \
  chmod o+w "$lib/Resources/profiles/conf.xml"
try "Version behind CMakeLists.txt" "Version is '0.9.0'" package-check.sh \
  sed -i 's/^Version: .*/Version: 0.9.0/' "$control"
try "a maintainer without an address (a lintian error)" "lintian reports errors: malformed-contact" \
  package-check.sh sed -i 's/^Maintainer: .*/Maintainer: kelv developers/' "$control"

if ((install)); then
  postinst='#!/bin/sh
set -e
echo left >/usr/lib/kelv/leftover'
  try "a maintainer script leaving a file at purge" "left after the purge: /usr/lib/kelv/leftover" \
    test-package.sh sh -c "printf '%s\n' '$postinst' >DEBIAN/postinst && chmod 0755 DEBIAN/postinst"
  try "marker dropped, then run as root" "the run of root wrote below /usr" \
    test-package.sh rm "$lib/Resources/packaged"
  try "the page missing from the program folder" "the page failed to load for kelvtest" \
    test-package.sh mv "$lib/view/index.html" "$lib/view/start.html"
fi

if ((missed)); then
  echo "package-breaks: $missed break(s) went unnoticed" >&2
  exit 1
fi
echo "package-breaks: every break was caught"
