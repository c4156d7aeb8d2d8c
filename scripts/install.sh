#!/usr/bin/env bash
# Installs kelv for the current user, like a desktop program:
#   - the program folder (build/program/, relocatable) into
#     ${XDG_DATA_HOME:-~/.local/share}/kelv/program, where profiles and updates
#     stay writable;
#   - a menu entry ${XDG_DATA_HOME}/applications/kelv.desktop;
#   - the icon in the hicolor theme (${XDG_DATA_HOME}/icons/hicolor/...).
# "scripts/install.sh --uninstall" removes exactly these (and the autostart
# entry the program's "Start with the desktop" setting may have written), and
# nothing else. Options: --from <program folder> (default build/program).
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
from="$here/build/program"
action=install
while (($#)); do
  case "$1" in
    --uninstall) action=uninstall ;;
    --from) from="$2"; shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "install: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

data="${XDG_DATA_HOME:-$HOME/.local/share}"
config="${XDG_CONFIG_HOME:-$HOME/.config}"
target="$data/kelv/program"
entry="$data/applications/kelv.desktop"
icons="$data/icons/hicolor"
autostart="$config/autostart/kelv.desktop"

refresh_caches() {
  if command -v update-desktop-database >/dev/null; then
    update-desktop-database -q "$data/applications" 2>/dev/null || true
  fi
  if command -v gtk-update-icon-cache >/dev/null && [ -f "$icons/index.theme" ]; then
    gtk-update-icon-cache -q -t "$icons" 2>/dev/null || true
  fi
}

if [ "$action" = uninstall ]; then
  # Only our own files: the program folder, the entry, the icons, autostart.
  rm -rf -- "$target"
  rmdir -- "$data/kelv" 2>/dev/null || true
  rm -f -- "$entry" "$autostart" "$icons/256x256/apps/kelv.png" "$icons/scalable/apps/kelv.svg"
  refresh_caches
  echo "install: kelv removed"
  exit 0
fi

if [ ! -x "$from/kelv" ]; then
  echo "install: no program in $from (build it first: bash scripts/build.sh)" >&2
  exit 1
fi

# Exec needs the path quoted as the desktop entry rules say: inside double
# quotes ", \`, \$ and \\ take a backslash, and the string's own escape then
# doubles every backslash; a literal % is written %%.
exec_quote() {
  local s="$1"
  s="${s//\\/\\\\}"; s="${s//\"/\\\"}"; s="${s//\`/\\\`}"; s="${s//\$/\\\$}"
  s="${s//%/%%}"
  s="\"$s\""
  printf '%s' "${s//\\/\\\\}"
}

mkdir -p "$data/kelv"
# Into a fresh folder beside the old one, then swapped, so a failed copy
# never leaves half a program. The user's own settings and mode document in
# an earlier install are kept.
staging="$data/kelv/program.new"
rm -rf -- "$staging"
cp -a -- "$from" "$staging"
if [ -d "$target" ]; then
  for kept in Resources/profiles/conf.xml view/xml/configuration.xml; do
    if [ -f "$target/$kept" ]; then cp -a -- "$target/$kept" "$staging/$kept"; fi
  done
  rm -rf -- "$target"
fi
mv -- "$staging" "$target"

mkdir -p "$icons/256x256/apps" "$icons/scalable/apps" "$(dirname "$entry")"
install -m 0644 "$here/resources/icons/kelv.png" "$icons/256x256/apps/kelv.png"
install -m 0644 "$here/resources/icons/kelv.svg" "$icons/scalable/apps/kelv.svg"

# Written and checked beside, then moved into place whole.
scratch="$(mktemp -d)"
trap 'rm -rf -- "$scratch"' EXIT
cat > "$scratch/kelv.desktop" <<ENTRY
[Desktop Entry]
Type=Application
Name=kelv
GenericName=Mouse configuration
Comment=Configure the gaming mouse: buttons, DPI, lighting, macros
Exec=$(exec_quote "$target/kelv")
Path=$target
Icon=kelv
Terminal=false
Categories=Settings;HardwareSettings;
Keywords=mouse;gaming;dpi;macro;
StartupNotify=true
ENTRY
if command -v desktop-file-validate >/dev/null && ! desktop-file-validate "$scratch/kelv.desktop"; then
  echo "install: the menu entry did not validate" >&2
  exit 1
fi
mv -- "$scratch/kelv.desktop" "$entry"
refresh_caches
echo "install: kelv installed in $target; menu entry $entry"
