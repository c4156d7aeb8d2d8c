#!/usr/bin/env bash
# The package on a clean Debian 12: mmdebstrap makes a minimal system (apt and the
# essential packages, in namespaces of its own: nothing of this machine is mounted or
# changed), where `apt-get install --no-install-recommends ./kelv_*.deb` must bring
# everything the program needs: no binary may lack a library, and the program must load
# its page (offscreen, as that system's root). Downloads about 150 MB from Debian's
# archive; 90 to 180 s. Not run by CI (scripts/test-package.sh installs on CI's own
# machine, which has the build's packages already).
# Usage: scripts/test-package-clean.sh [kelv .deb]   (default: build-package/kelv_*.deb)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS=0
fail() {
  echo "test-package-clean: FAILED: $*" >&2
  exit 1
}
command -v mmdebstrap >/dev/null || fail "needs mmdebstrap (bash scripts/setup.sh package)"
deb=${1:-$(ls build-package/kelv_*_amd64.deb 2>/dev/null || true)}
if [ -z "$deb" ] || [ ! -f "$deb" ]; then fail "no package: build it with bash scripts/package.sh"; fi

scratch=$(mktemp -d)
trap 'rm -rf -- "$scratch"' EXIT
cp "$deb" "$scratch/kelv.deb"
log="$scratch/hook.log"

# Runs inside the new system once it is complete.
cat >"$scratch/inside.sh" <<'INSIDE'
#!/bin/sh
set -eu
before=$(dpkg-query -W | wc -l)
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/tmp/apt.log 2>&1 || { echo "RESULT apt-get update failed: $(tail -1 /tmp/apt.log)"; exit 1; }
apt-get install -y -q --no-install-recommends /tmp/kelv.deb >>/tmp/apt.log 2>&1 ||
  { echo "RESULT apt-get install failed: $(grep '^E:' /tmp/apt.log | head -1)"; exit 1; }
echo "INFO $before packages before, $(dpkg-query -W | wc -l) after"
for f in /usr/lib/kelv/kelv /usr/lib/kelv/CrashReporter /usr/lib/kelv/dcsim /usr/lib/kelv/libdc.so; do
  if ldd "$f" | grep -q 'not found'; then
    echo "RESULT $f lacks $(ldd "$f" | grep 'not found' | head -1 | awk '{print $1}')"
    exit 1
  fi
done
[ -x /usr/lib/qt6/libexec/QtWebEngineProcess ] || { echo "RESULT no QtWebEngineProcess"; exit 1; }
mkdir -p /tmp/home /tmp/runtime
chmod 0700 /tmp/runtime
cd /tmp/home
env -i HOME=/tmp/home PATH=/usr/bin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR=/tmp/runtime \
  QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 /usr/bin/kelv >/tmp/kelv.log 2>&1 &
pid=$!
i=0
while [ $i -lt 240 ]; do
  grep -q 'page loaded\|page failed to load' /tmp/kelv.log && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.5
  i=$((i + 1))
done
kill $pid 2>/dev/null || true
wait $pid 2>/dev/null || true
if grep -q 'page loaded' /tmp/kelv.log; then
  echo "RESULT ok"
else
  echo "RESULT the page did not load: $(tail -1 /tmp/kelv.log)"
fi
INSIDE

# The new system's apt trusts Debian's archive keys as this machine's does.
keys=$(ls /etc/apt/trusted.gpg.d/debian-archive-bookworm-*.asc 2>/dev/null || true)
[ -n "$keys" ] || keys=/usr/share/keyrings/debian-archive-keyring.gpg
mirror=http://deb.debian.org/debian
if ! mmdebstrap --mode=unshare --variant=apt --quiet \
  --customize-hook="cp $scratch/kelv.deb $scratch/inside.sh \"\$1/tmp/\" && cp ${keys//$'\n'/ } \"\$1/etc/apt/trusted.gpg.d/\"" \
  --customize-hook="chroot \"\$1\" sh /tmp/inside.sh >$log 2>&1 || true" \
  bookworm /dev/null "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
  "deb http://deb.debian.org/debian-security bookworm-security main" >"$scratch/mmdebstrap.log" 2>&1; then
  fail "mmdebstrap could not make the system: $(grep '^E:' "$scratch/mmdebstrap.log" | head -1)"
fi
grep '^INFO' "$log" | sed 's/^INFO /test-package-clean: /' || true
result=$(sed -n 's/^RESULT //p' "$log" | tail -1)
[ "$result" = ok ] || fail "${result:-the check inside did not run: $(tail -1 "$log")}"
echo "test-package-clean: $deb installs and loads its page on a clean Debian 12 (${SECONDS} s)"
