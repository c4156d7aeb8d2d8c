#!/usr/bin/env bash
# Installs everything kelv needs to build, run and test from Debian's packages.
# Idempotent: packages already present are skipped, and the package lists are
# refreshed only when something has to be installed.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ccache
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev qt6-webengine-dev-tools
  qt6-webchannel-dev libqt6webenginecore6-bin qt6-tools-dev
  qt6-l10n-tools qt6-svg-dev qt6-qpa-plugins qt6-translations-l10n
  libgl-dev libglx-dev libopengl-dev libvulkan-dev libxkbcommon-dev
  libpugixml-dev liblzma-dev xz-utils libssl-dev openssl
  libxcb1-dev libxcb-keysyms1-dev libxcb-record0-dev libx11-dev libx11-xcb-dev libxtst-dev
  xvfb xauth xdotool x11-utils curl
  fonts-dejavu-core fonts-wqy-microhei
  clang libclang-rt-14-dev nodejs esbuild
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 wine wine32:i386 doctest-dev
  dbus-daemon dbus-bin libglib2.0-bin dconf-cli dconf-service dconf-gsettings-backend
  gsettings-desktop-schemas cinnamon-desktop-data mate-settings-daemon-common
  xfconf libxfconf-0-3 libkf5config-bin desktop-file-utils
  dpkg-dev lintian appstream mmdebstrap
  weston qt6-wayland xwayland
  libsystemd-dev ratbagd
  meson swig python3-dev libudev-dev libevdev-dev libglib2.0-dev libjson-glib-dev libunistring-dev check
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then
    # A Debian installed with a root password has no sudo.
    if ! command -v sudo >/dev/null; then
      echo "setup: installing packages needs root: run this as root (or install sudo)" >&2
      exit 1
    fi
    SUDO=sudo
  fi
  # The 32-bit Wine (for the 32-bit device-library host) comes from Debian's i386 packages.
  if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
