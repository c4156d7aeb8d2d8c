#!/usr/bin/env bash
# Checks a built kelv package: what it holds and what it must not hold, its control
# fields (Depends computed from the binaries, Recommends), its menu entry and AppStream
# metadata, and lintian. Every failed rule is one line starting with "package-check:";
# the exit status is 1 when any failed.
# Usage: scripts/package-check.sh build-package/kelv_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
deb=${1:?usage: package-check.sh <kelv .deb>}
[ -f "$deb" ] || { echo "package-check: no file $deb" >&2; exit 1; }

failures=0
# Several lines of a tool's output as one line.
oneline() { tr '\n' ' ' <<<"$1" | sed 's/  */ /g; s/ $//'; }
bad() {
  echo "package-check: $*" >&2
  failures=$((failures + 1))
}

tree=$(mktemp -d)
trap 'rm -rf -- "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
listing=$(dpkg-deb -c "$deb")
field() { dpkg-deb -f "$deb" "$1"; }

# What a user needs, where the system looks for it.
for f in usr/lib/kelv/kelv usr/lib/kelv/CrashReporter usr/lib/kelv/dcsim; do
  if [ ! -f "$tree/$f" ] || [ ! -x "$tree/$f" ]; then bad "no executable /$f"; fi
done
for f in usr/lib/kelv/libdc.so usr/lib/kelv/Resources/packaged \
  usr/lib/kelv/Resources/profiles/conf.xml usr/lib/kelv/Resources/profiles/configuration.xml \
  usr/lib/kelv/Resources/update-keys.txt usr/lib/kelv/view/index.html \
  usr/share/applications/kelv.desktop usr/share/metainfo/io.kelv.kelv.metainfo.xml \
  usr/share/icons/hicolor/256x256/apps/kelv.png usr/share/icons/hicolor/scalable/apps/kelv.svg \
  usr/share/man/man1/kelv.1.gz usr/share/doc/kelv/copyright usr/share/doc/kelv/changelog.gz; do
  [ -f "$tree/$f" ] || bad "no /$f"
done
if [ "$(readlink "$tree/usr/bin/kelv" 2>/dev/null)" != ../lib/kelv/kelv ]; then
  bad "/usr/bin/kelv is not a link to ../lib/kelv/kelv"
fi

# What it must not hold: anything outside /usr, test and developer programs, the
# program's own updater (the package manager updates it), and what a run leaves.
outside=$(cd "$tree" && find . -mindepth 1 -maxdepth 1 ! -name usr -printf '/%P\n')
[ -z "$outside" ] || bad "files outside /usr: $(oneline "$outside")"
forbidden=$(cd "$tree" && find . \( -name 'test_*' -o -name 'bench_*' -o -name 'view_*' \
  -o -name 'tst_*' -o -name Updater -o -name kelvpack -o -name 'dchost*' -o -name 'ratbagd*' \
  -o -name simulator -o -name 'web.log*' -o -name '*.dmp' -o -name 'dc.log' -o -name CMakeFiles \
  -o -name '*.o' -o -name '*.a' -o -name node_modules -o -name tests -o -name '*.test.js' \
  -o -name '*.test.mjs' -o -name package.json -o -name 'tupdates' \) -printf '/%P\n')
[ -z "$forbidden" ] || bad "files that do not belong in the package: $(oneline "$forbidden")"
if grep -v ' root/root ' <<<"$listing" | grep -q .; then
  bad "files not owned by root: $(grep -v ' root/root ' <<<"$listing" | awk '{print $NF}' | head -3 | xargs)"
fi
writable=$(cd "$tree" && find . -perm -o+w ! -type l -printf '/%P\n')
[ -z "$writable" ] || bad "world-writable: $(oneline "$writable")"
for f in kelv CrashReporter dcsim libdc.so; do
  if [ -f "$tree/usr/lib/kelv/$f" ] && readelf -S "$tree/usr/lib/kelv/$f" | grep -q '\.symtab'; then
    bad "/usr/lib/kelv/$f is not stripped"
  fi
done

# Control fields.
version=$(sed -n 's/^project(kelv VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(field Package)" = kelv ] || bad "Package is '$(field Package)', not kelv"
[ "$(field Version)" = "$version" ] || bad "Version is '$(field Version)', CMakeLists.txt says $version"
[ "$(field Architecture)" = amd64 ] || bad "Architecture is '$(field Architecture)', not amd64"
[ -n "$(field Installed-Size)" ] || bad "no Installed-Size"
depends=$(field Depends | tr -d '\n')
# dpkg-shlibdeps writes versioned dependencies on the libraries the binaries link.
for lib in libc6 libstdc++6 libqt6core6 libqt6webenginecore6 libpugixml1v5 libsystemd0; do
  grep -Fq ", $lib (>= " <<<", $depends" ||
    bad "Depends has no computed '$lib (>= ...)': was dpkg-shlibdeps run? ($depends)"
done
if grep -qF '${' <<<"$depends"; then bad "Depends has an unsubstituted variable: $depends"; fi
for p in libqt6webenginecore6-bin fonts-wqy-microhei; do
  grep -Eq "(^|[ ,|])$p([ ,]|$)" <<<"$depends" || bad "Depends lacks $p"
done
recommends=$(field Recommends | tr -d '\n')
for p in ratbagd openrazer-daemon upower; do
  grep -Eq "(^|[ ,])$p(,|$)" <<<"$recommends" || bad "Recommends lacks $p ($recommends)"
done

# The menu entry and the AppStream metadata as the desktop's tools read them.
desktop="$tree/usr/share/applications/kelv.desktop"
if [ -f "$desktop" ]; then
  out=$(desktop-file-validate "$desktop" 2>&1) || bad "desktop-file-validate: $(oneline "$out")"
  exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
  [ "$exec_cmd" = kelv ] || [ "$exec_cmd" = /usr/bin/kelv ] || bad "the menu entry runs '$exec_cmd', not kelv"
fi
metainfo="$tree/usr/share/metainfo/io.kelv.kelv.metainfo.xml"
if [ -f "$metainfo" ]; then
  out=$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1) || bad "appstreamcli validate: $(oneline "$out")"
  out=$(appstreamcli validate-tree --no-net --no-color "$tree" 2>&1) || bad "appstreamcli validate-tree: $(oneline "$out")"
  release=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -1)
  [ "$release" = "$version" ] || bad "the metainfo's newest release is '$release', the program is $version"
fi

# lintian: no error; warnings are shown.
lintian_status=0
lintian_out=$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1) || lintian_status=$?
[ -z "$lintian_out" ] || sed 's/^/lintian: /' <<<"$lintian_out"
if grep -q '^E: ' <<<"$lintian_out"; then
  bad "lintian reports errors: $(grep '^E: ' <<<"$lintian_out" | awk '{print $3}' | sort -u | xargs)"
elif ((lintian_status)); then
  bad "lintian did not run through (status $lintian_status): $(tail -1 <<<"$lintian_out")"
fi

if ((failures)); then
  echo "package-check: $deb failed $failures check(s)" >&2
  exit 1
fi
echo "package-check: $deb passed ($(dpkg-deb -c "$deb" | wc -l) entries)"
