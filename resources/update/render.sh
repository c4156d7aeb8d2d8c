#!/bin/sh
# Renders resources/update/*.svg to resources/update/png/*.png (the files
# update.qrc embeds). Needs Qt 6 with Qt SVG (libqt6svg6-dev).
set -e
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
c++ -std=c++17 -fPIC -O1 -o "$tmp/render_artwork" "$here/render_artwork.cpp" \
  $(pkg-config --cflags --libs Qt6Gui Qt6Svg)
QT_QPA_PLATFORM=offscreen "$tmp/render_artwork" "$here" "$here/png"
