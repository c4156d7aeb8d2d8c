#!/usr/bin/env bash
# Installs from Debian's packages what one job needs, and nothing more:
#
#   scripts/setup.sh run       building and running kelv (scripts/run.sh)
#   scripts/setup.sh package   that, and the Debian packaging tools (scripts/package.sh)
#   scripts/setup.sh test      that, and every test tool (scripts/test.sh): Wine with the
#                              i386 architecture, mingw-w64, the sanitizer tool chain, the
#                              desktops' settings tools, weston, the daemons' build needs
#
# Idempotent: packages already present are skipped, and the package lists are refreshed
# only when something has to be installed. A package index that fails to download does
# not stop the install when what is needed can be installed without it (apt-get
# install --simulate tells); the script says which index failed and goes on. Any failure
# ends with one line saying what the user can do.
#
#   scripts/setup.sh --list <job>   prints the job's packages, one a line, and installs nothing
#
# For tests: KELV_SETUP_PACKAGES replaces the job's package list, KELV_SETUP_RETRY_DELAY
# (seconds, default 5) the pause between refreshes.
set -euo pipefail

list_only=0
if [ "${1:-}" = --list ]; then
  list_only=1
  shift
fi
job=${1:-run}

run_packages=(
  build-essential cmake ninja-build pkg-config ccache
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev qt6-webengine-dev-tools
  qt6-webchannel-dev libqt6webenginecore6-bin qt6-tools-dev
  qt6-l10n-tools qt6-svg-dev qt6-qpa-plugins qt6-translations-l10n qt6-wayland
  libgl-dev libglx-dev libopengl-dev libvulkan-dev libxkbcommon-dev
  libpugixml-dev liblzma-dev libssl-dev
  libxcb1-dev libxcb-keysyms1-dev libxcb-record0-dev libx11-dev libx11-xcb-dev libxtst-dev
  libsystemd-dev esbuild
  xvfb xauth fonts-dejavu-core fonts-wqy-microhei
)
package_packages=(
  dpkg-dev fakeroot lintian appstream desktop-file-utils mmdebstrap
)
test_packages=(
  git curl openssl xz-utils xdotool x11-utils x11-xserver-utils nodejs
  clang libclang-rt-14-dev doctest-dev
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 wine wine32:i386
  dbus-daemon dbus-bin libglib2.0-bin dconf-cli dconf-service dconf-gsettings-backend
  gsettings-desktop-schemas cinnamon-desktop-data mate-settings-daemon-common
  xfconf libxfconf-0-3 libkf5config-bin
  weston xwayland
  ratbagd python3-dbusmock
  meson swig python3-dev libudev-dev libevdev-dev libglib2.0-dev libjson-glib-dev libunistring-dev check
)

case "$job" in
  run) packages=("${run_packages[@]}") ;;
  package) packages=("${run_packages[@]}" "${package_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${package_packages[@]}" "${test_packages[@]}") ;;
  *) echo "setup: unknown job '$job' (run, package or test)" >&2; exit 2 ;;
esac
if [ -n "${KELV_SETUP_PACKAGES:-}" ]; then
  read -r -a packages <<<"$KELV_SETUP_PACKAGES"
fi
if ((list_only)); then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

fail() {
  echo "setup: $*" >&2
  exit 1
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} == 0)); then
  echo "setup: all packages for '$job' present"
  exit 0
fi
echo "setup: installing for '$job': ${missing[*]}"

SUDO=()
if [ "$(id -u)" != 0 ]; then
  # A Debian installed with a root password has no sudo.
  command -v sudo >/dev/null ||
    fail "installing packages needs root: run 'su -c \"bash $0 $job\"' or install sudo"
  SUDO=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

# The 32-bit Wine (for the 32-bit device-library host) comes from Debian's i386 packages;
# only the test job asks for them.
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture for the 32-bit Wine"
  "${SUDO[@]}" dpkg --add-architecture i386
fi

# Refreshes the package lists, a few times when an index fails (a mirror in the middle
# of a sync heals within minutes). Leaves apt's messages of the last try in $update_log.
update_log=$(mktemp)
trap 'rm -f "$update_log"' EXIT
refreshed=0
for attempt in 1 2 3; do
  if "${SUDO[@]}" apt-get update -q >"$update_log" 2>&1 && ! grep -q '^E: ' "$update_log"; then
    refreshed=1
    break
  fi
  if ((attempt < 3)); then
    echo "setup: refreshing the package lists failed (try $attempt of 3); trying again"
    sleep "${KELV_SETUP_RETRY_DELAY:-5}"
  fi
done

install_options=(-y -q --no-install-recommends)
if ((!refreshed)); then
  # Which indexes failed ("Failed to fetch <address>" names each one).
  failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$update_log" | sort -u)
  if [ -z "$failed" ]; then
    tail -5 "$update_log" >&2
    fail "the package lists could not be refreshed: check the network and /etc/apt/sources.list, then run this again"
  fi
  echo "setup: these package indexes failed to download; going on without them:"
  sed 's/^/setup:   /' <<<"$failed"
  if ! apt-get install --simulate "${install_options[@]}" "${missing[@]}" >/dev/null 2>&1; then
    # A stale index of one suite (the security archive for i386, say) leaves
    # that suite's packages for the other architectures newer than their
    # counterparts, which multi-arch packages must match. Taking every package
    # from the release itself keeps the architectures in step.
    codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
    if [ -n "$codename" ] &&
      apt-get install --simulate "${install_options[@]}" -t "$codename" "${missing[@]}" >/dev/null 2>&1; then
      echo "setup: installing from the '$codename' release itself, whose indexes are complete"
      install_options+=(-t "$codename")
    else
      apt-get install --simulate "${install_options[@]}" "${missing[@]}" 2>&1 | grep -E '^ |^E: ' | tail -8 >&2 || true
      fail "the packages cannot be installed without the indexes that failed: run this again later, or choose another mirror in /etc/apt/sources.list"
    fi
  fi
fi

"${SUDO[@]}" apt-get install "${install_options[@]}" "${missing[@]}" ||
  fail "apt-get could not install the packages above: read its message, fix it (often 'sudo apt-get -f install' or a free disk), then run this again"
