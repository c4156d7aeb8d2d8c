#!/usr/bin/env bash
# Puts the source of the installed pugixml (the same Debian version as
# libpugixml-dev) into the folder given as $1, as <folder>/src/pugixml.cpp and
# its headers, and prints that src folder. The sanitizer builds compile
# pugixml header-only from it, so the sanitizers see inside the XML library
# too. Uses apt with a private list folder: the machine's own apt sources and
# lists stay as they are. Does nothing when the folder is already filled.
set -euo pipefail
dest="$1"
version=$(dpkg-query -W -f='${source:Version}' libpugixml-dev)
src="$dest/pugixml-$version/src"
if [ -f "$src/pugixml.cpp" ]; then
  echo "$src"
  exit 0
fi

work="$dest/apt"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/download"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $codename main" \
  >"$work/sources.list"
opts=(-q -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
  -o APT::Sandbox::User=root)
apt-get "${opts[@]}" update >&2
(cd "$work/download" && apt-get "${opts[@]}" source --download-only "pugixml=$version" >&2)

mkdir -p "$dest/pugixml-$version"
tar -xzf "$work/download"/pugixml_*.orig.tar.gz -C "$dest/pugixml-$version" --strip-components=1
rm -rf "$work"
test -f "$src/pugixml.cpp"
echo "$src"
