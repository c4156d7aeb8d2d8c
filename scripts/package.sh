#!/usr/bin/env bash
# Builds the Debian package build-package/kelv_<version>_amd64.deb from a release build:
#
#   /usr/lib/kelv/            the program folder (kelv, libdc.so, CrashReporter, dcsim, the
#                             page, the factory profiles, Resources/packaged)
#   /usr/bin/kelv             a link to /usr/lib/kelv/kelv
#   /usr/share/applications/kelv.desktop, /usr/share/icons/hicolor/.../kelv.{png,svg},
#   /usr/share/metainfo/io.kelv.kelv.metainfo.xml, the man page, copyright, changelog
#
# Depends are computed from the binaries (dpkg-shlibdeps) plus what the program needs
# without linking to it (packaging/debian/control). The finished package is checked by
# scripts/package-check.sh (contents, fields, lintian, desktop entry, AppStream); a
# package that fails a check is removed again. Options: JOBS (parallel compiles).
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD
SECONDS=0

fail() {
  echo "package: $*" >&2
  exit 1
}

bash scripts/setup.sh package

version=$(sed -n 's/^project(kelv VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no 'project(kelv VERSION x.y.z' in CMakeLists.txt"
changelog_version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
[ "$changelog_version" = "$version" ] ||
  fail "packaging/debian/changelog is at $changelog_version but CMakeLists.txt at $version: add a changelog entry"
arch=$(dpkg --print-architecture)
[ "$arch" = amd64 ] || fail "the package is built for amd64; this machine is $arch"

# Debian's hardening flags (stack protector, fortified functions, full RELRO). The
# file-prefix map names the checkout's folder, which would keep ccache from sharing
# objects between checkouts; the binaries are stripped, so it serves nothing here.
hardening() {
  DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1" |
    sed -e 's/-ffile-prefix-map=[^ ]*//g' -e 's/\(^\| \)-g\( \|$\)/ /g' -e 's/\(^\| \)-O2\( \|$\)/ /g'
}
cppflags=$(hardening CPPFLAGS)
cflags="$(hardening CFLAGS) $cppflags"
cxxflags="$(hardening CXXFLAGS) $cppflags"
ldflags=$(hardening LDFLAGS)

build="build-package"
cmake -S . -B "$build" -G Ninja -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DKELV_BUILD_TESTS=OFF -DKELV_BUILD_BENCH=OFF -DKELV_PACKAGED=ON \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >/dev/null ||
  fail "configuring $build failed (run the cmake line of scripts/package.sh to see why)"
cmake --build "$build" --parallel "${JOBS:-$(nproc)}" || fail "the release build failed"
built=$SECONDS
echo "package: release build done in ${built} s"

program="$build/program"
work="$build/deb"
root="$work/debian/kelv"
rm -rf "$work"
mkdir -p "$root"
umask 022

# The program folder as a user needs it. Not shipped: the Updater and the packer
# (the package manager updates this program), and anything a run or a test may have
# left in build-package/program (the simulator's state, logs, crash reports).
lib="$root/usr/lib/kelv"
mkdir -p "$lib/Resources"
for f in kelv CrashReporter dcsim; do
  [ -f "$program/$f" ] || fail "$program/$f was not built"
  install -m 0755 "$program/$f" "$lib/$f"
done
install -m 0644 "$program/libdc.so" "$lib/libdc.so"
cp -R "$program/view" "$lib/view"
for f in update-keys.txt packaged; do
  [ -f "$program/Resources/$f" ] || fail "$program/Resources/$f is missing (is KELV_PACKAGED on?)"
  install -m 0644 "$program/Resources/$f" "$lib/Resources/$f"
done
cp -R "$program/Resources/profiles" "$lib/Resources/profiles"
# The user's settings are made from the factory ones by the program; the page's
# mode document in view/xml likewise. A build folder that has run keeps edited
# copies: ship the repository's own.
install -m 0644 resources/profiles/conf.xml "$lib/Resources/profiles/conf.xml"
for f in view/xml/*.xml; do install -m 0644 "$f" "$lib/$f"; done
find "$lib" -type d -exec chmod 0755 {} +
find "$lib/view" "$lib/Resources" -type f -exec chmod 0644 {} +

# As dh_strip does: no symbols, no comment or note sections.
for f in kelv CrashReporter dcsim libdc.so; do
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$lib/$f"
done

mkdir -p "$root/usr/bin"
ln -s ../lib/kelv/kelv "$root/usr/bin/kelv"

share="$root/usr/share"
install -D -m 0644 packaging/kelv.desktop "$share/applications/kelv.desktop"
install -D -m 0644 resources/icons/kelv.png "$share/icons/hicolor/256x256/apps/kelv.png"
install -D -m 0644 resources/icons/kelv.svg "$share/icons/hicolor/scalable/apps/kelv.svg"
install -D -m 0644 packaging/io.kelv.kelv.metainfo.xml "$share/metainfo/io.kelv.kelv.metainfo.xml"
install -d -m 0755 "$share/man/man1" "$share/doc/kelv"
gzip -9n <packaging/kelv.1 >"$share/man/man1/kelv.1.gz"
gzip -9n <packaging/debian/changelog >"$share/doc/kelv/changelog.gz"
install -m 0644 packaging/debian/copyright "$share/doc/kelv/copyright"
chmod 0644 "$share/man/man1/kelv.1.gz" "$share/doc/kelv/changelog.gz"

# The control file: dpkg-shlibdeps reads the binaries' needs (libdc.so is found in
# the package itself through the programs' $ORIGIN run path), dpkg-gencontrol fills
# in the version from the changelog, the installed size and the computed Depends.
cp packaging/debian/control packaging/debian/changelog "$work/debian/"
(
  cd "$work"
  # The DEBIAN folder tells dpkg-shlibdeps where the package's root is, for $ORIGIN.
  mkdir -p debian/kelv/DEBIAN
  dpkg-shlibdeps -Tdebian/kelv.substvars -edebian/kelv/usr/lib/kelv/kelv \
    -edebian/kelv/usr/lib/kelv/CrashReporter -edebian/kelv/usr/lib/kelv/dcsim \
    -edebian/kelv/usr/lib/kelv/libdc.so
  dpkg-gencontrol -pkelv -Pdebian/kelv -Tdebian/kelv.substvars -fdebian/files
  cd debian/kelv
  find usr -type f -printf '%P\0' | LC_ALL=C sort -z |
    (cd usr && xargs -0 md5sum) | sed 's|  |  usr/|' >DEBIAN/md5sums
  chmod 0644 DEBIAN/control DEBIAN/md5sums
) || fail "writing the control file failed"

# The files' times are clamped to the changelog entry's, so a rebuild of the same
# sources makes the same package.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l packaging/debian/changelog -S Timestamp)
export SOURCE_DATE_EPOCH
deb="$build/kelv_${version}_${arch}.deb"
rm -f "$build"/kelv_*.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null || fail "dpkg-deb failed"

if ! bash scripts/package-check.sh "$deb"; then
  rm -f "$deb"
  fail "$deb failed its checks and was removed"
fi
echo "package: $here/$deb ($(du -h "$deb" | cut -f1)) in ${SECONDS} s (build ${built} s)"
