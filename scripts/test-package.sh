#!/usr/bin/env bash
# The Debian package on this machine as a user gets it (CI; needs root, Debian 12):
#   1. builds and checks it (scripts/package.sh: contents, fields, lintian, AppStream);
#   2. installs it with apt, bringing only what its Depends name;
#   3. starts /usr/bin/kelv -autostart as an unprivileged user (kelvtest, made if missing)
#      on a private Xvfb display and session bus, with Chromium's sandbox on, and checks
#      that the page loads, that the user's settings and log are in the user's XDG
#      folders and that nothing below /usr was written;
#   4. starts it once as root (who may write anywhere: only the packaged marker keeps
#      its data out of /usr/lib/kelv) and checks /usr again;
#   5. purges the package and checks that no file of it is left.
# Each broken rule is one line "test-package: FAILED: ..." and the run goes on to the
# purge; the exit status is 1 when any rule broke. Timings are printed per step. The
# package is removed at the end whatever happened; kelvtest's home stays.
# Usage: scripts/test-package.sh [kelv .deb]   (default: build it with scripts/package.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS=0
user=kelvtest
page_timeout=${KELV_PAGE_TIMEOUT:-120}

step_start=0
step() {
  echo "test-package: $* ($((SECONDS - step_start)) s; ${SECONDS} s in all)"
  step_start=$SECONDS
}

scratch=$(mktemp -d /tmp/kelv-test-package.XXXXXX)
chmod 0755 "$scratch"
xvfb_pid=""
kelv_pidfile=""
stop_display() {
  [ -n "$xvfb_pid" ] || return 0
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=""
}
installed() {
  dpkg-query -W -f='${db:Status-Status}' kelv 2>/dev/null | grep -qv '^not-installed$'
}
cleanup() {
  stop_kelv || true
  stop_display
  if installed; then
    apt-get purge -y -q -o DPkg::Lock::Timeout=300 kelv >/dev/null 2>&1 || true
  fi
  rm -rf -- "$scratch"
}
trap cleanup EXIT

# The run's logs stay in build-package/test-package-logs/ for a look after a failure.
logs=build-package/test-package-logs
keep_logs() {
  rm -rf -- "$logs"
  mkdir -p "$logs"
  cp -- "$scratch"/*.log "$logs/" 2>/dev/null || true
}
# fail: the test cannot go on. bad: a rule is broken; the test goes on.
fail() {
  keep_logs
  echo "test-package: FAILED: $* (logs: $logs/)" >&2
  exit 1
}
broken=0
bad() {
  echo "test-package: FAILED: $*" >&2
  broken=$((broken + 1))
}

[ "$(id -u)" = 0 ] || fail "run it as root: it installs the package with apt and makes a test user"

# 1. Build and check (or take the package named on the command line as it is).
if (($#)); then
  deb=$1
  [ -f "$deb" ] || fail "no package $deb"
  step "testing $deb as it is"
else
  bash scripts/package.sh || fail "scripts/package.sh did not build a package that passes its checks"
  deb=$(ls build-package/kelv_*_amd64.deb)
  step "package built and checked: $deb"
fi
case $deb in /*) ;; *) deb="./$deb" ;; esac

# 2. Install as a user would; an earlier run's package goes first.
export DEBIAN_FRONTEND=noninteractive
if installed; then
  apt-get purge -y -q -o DPkg::Lock::Timeout=300 kelv >/dev/null
fi
# What an earlier failed run left in the program folder would be taken for this run's.
if [ -e /usr/lib/kelv ]; then
  echo "test-package: removing /usr/lib/kelv, left while kelv was not installed"
  rm -rf /usr/lib/kelv
fi
# Only the Depends: what a machine without the recommended daemons gets must run.
apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 "$deb" \
  >"$scratch/apt-install.log" 2>&1 ||
  fail "apt-get install $deb failed: $(grep -E '^E: ' "$scratch/apt-install.log" | head -1)"
dpkg-query -L kelv | LC_ALL=C sort >"$scratch/files.txt"
changed=$(dpkg --verify kelv 2>&1 | head -3 || true)
[ -z "$changed" ] || bad "installed files differ from the package: $changed"
for f in /usr/bin/kelv /usr/lib/kelv/Resources/packaged /usr/share/applications/kelv.desktop; do
  [ -e "$f" ] || bad "$f is not there after the install"
done
step "installed with apt ($(wc -l <"$scratch/files.txt") paths)"

# 3. The run of a user.
id "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/bash "$user"
home=$(getent passwd "$user" | cut -d: -f6)
[ -d "$home" ] || fail "the test user $user has no home folder ($home)"
config="$home/.config/kelv"
state="$home/.local/state/kelv"
rm -rf -- "$config" "$home/.local/share/kelv" "$state" "$home/.cache/kelv" "$home/web.log"
runtime="$scratch/runtime"
mkdir -m 0700 "$runtime"
chown "$user:" "$runtime"

# A clean environment, as a login gives one, with the home as working folder.
# setpriv executes the command in place (runuser stays its parent, and ending
# runuser leaves the command running).
# (An array, not a function: a function sent to the background runs in a subshell,
# whose process id is not the command's.)
as_user=(setpriv --reuid="$user" --regid="$user" --init-groups env -i HOME="$home"
  USER="$user" LOGNAME="$user" SHELL=/bin/bash PATH=/usr/local/bin:/usr/bin:/bin
  LANG=C.UTF-8 XDG_RUNTIME_DIR="$runtime")
root_home="$scratch/root-home"
as_root=(env -i HOME="$root_home" USER=root LOGNAME=root PATH=/usr/local/bin:/usr/bin:/bin
  LANG=C.UTF-8 XDG_RUNTIME_DIR="$runtime/root" QTWEBENGINE_DISABLE_SANDBOX=1)

start_display() {
  mkfifo "$scratch/display"
  "${as_user[@]}" Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$scratch/display" \
    >"$scratch/xvfb.log" 2>&1 &
  xvfb_pid=$!
  local number
  read -r -t 30 number <"$scratch/display" || fail "Xvfb did not start: $(tail -1 "$scratch/xvfb.log")"
  display=":$number"
}

# start_kelv <output file> <working folder> <runner...>: kelv -autostart on the display
# with a session bus of its own.
start_kelv() {
  local out=$1 dir=$2
  shift 2
  kelv_pidfile="$runtime/kelv.pid"
  rm -f "$kelv_pidfile"
  (cd "$dir" && "$@" DISPLAY="$display" QT_QPA_PLATFORM=xcb \
    dbus-run-session -- sh -c 'echo $$ >"$0"; exec /usr/bin/kelv -autostart' "$kelv_pidfile" \
    >"$out" 2>&1 &)
  for _ in $(seq 100); do
    [ -s "$kelv_pidfile" ] && return 0
    sleep 0.1
  done
  fail "kelv did not start: $(tail -1 "$out")"
}

# Ends kelv as a logout does (SIGTERM) and waits until it is gone.
stop_kelv() {
  [ -n "$kelv_pidfile" ] && [ -s "$kelv_pidfile" ] || return 0
  local pid
  pid=$(cat "$kelv_pidfile")
  kelv_pidfile=""
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 150); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  return 1
}

# Waits for kelv's "page loaded" (or "page failed to load") on its standard error;
# says what went wrong and returns 1 otherwise.
wait_for_page() {
  local out=$1 who=$2 pid
  pid=$(cat "$kelv_pidfile")
  for _ in $(seq $((page_timeout * 5))); do
    grep -q 'page loaded' "$out" && return 0
    if grep -q 'page failed to load' "$out"; then
      bad "the page failed to load for $who"
      return 1
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      bad "kelv ended before its page loaded for $who: $(tail -1 "$out")"
      return 1
    fi
    sleep 0.2
  done
  bad "the page did not load within $page_timeout s for $who: $(tail -1 "$out")"
  return 1
}

# What changed below /usr since the stamp (new files, written files, changed modes).
usr_changes() {
  find /usr -xdev \( -newer "$1" -o -cnewer "$1" \) -print >"$scratch/changes" 2>/dev/null || true
  head -5 "$scratch/changes" | xargs
}

start_display
step "Xvfb on $display as $user"
touch "$scratch/stamp-user"
start_kelv "$scratch/user.log" "$home" "${as_user[@]}"
if wait_for_page "$scratch/user.log" "$user"; then
  step "page loaded for $user"
  # Chromium's sandbox stays on for a user: no page process runs with --no-sandbox.
  engine=$(ps -u "$user" -o args= | grep QtWebEngineProcess || true)
  [ -n "$engine" ] || bad "no QtWebEngineProcess runs for $user while the page is loaded"
  if grep -q -- '--no-sandbox' <<<"$engine"; then
    bad "the page's processes run without Chromium's sandbox for $user"
  fi
fi
stop_kelv || bad "kelv did not quit within 15 s of SIGTERM"
step "kelv quit on SIGTERM"

written=$(usr_changes "$scratch/stamp-user")
[ -z "$written" ] || bad "the run of $user wrote below /usr: $written"
conf=$(find "$config" -name conf.xml -type f 2>/dev/null | head -1 || true)
[ -n "$conf" ] || bad "no conf.xml in $config after the run (settings not in the user's config folder)"
if [ ! -f "$state/web.log" ]; then
  bad "no web.log in $state after the run (log not in the user's state folder)"
elif ! grep -q 'page loaded' "$state/web.log"; then
  bad "$state/web.log does not say the page loaded"
fi
owner=$(find "$config" "$state" ! -user "$user" -print 2>/dev/null | head -1 || true)
[ -z "$owner" ] || bad "$owner is not owned by $user"
step "checked the user's folders and /usr"

# 4. A run as root: root may write into /usr/lib/kelv, so only the packaged marker
# sends its data to root's own folders. Chromium refuses its sandbox to root.
mkdir -m 0700 "$root_home" "$runtime/root"
touch "$scratch/stamp-root"
start_kelv "$scratch/root.log" "$root_home" "${as_root[@]}"
wait_for_page "$scratch/root.log" root || true
stop_kelv || bad "kelv (root) did not quit within 15 s of SIGTERM"
written=$(usr_changes "$scratch/stamp-root")
[ -z "$written" ] || bad "the run of root wrote below /usr: $written"
step "root's run checked"
stop_display

# 5. Purge: no file of the package stays. A folder stays only when another package
# owns it or it holds other packages' files.
apt-get purge -y -q -o DPkg::Lock::Timeout=300 kelv >"$scratch/apt-purge.log" 2>&1 ||
  fail "apt-get purge kelv failed: $(grep -E '^E: ' "$scratch/apt-purge.log" | head -1)"
status=$(dpkg-query -W -f='${db:Status-Status}' kelv 2>/dev/null || echo not-installed)
[ "$status" = not-installed ] || bad "kelv is '$status' after the purge, not gone"
left=()
while IFS= read -r path; do
  [ "$path" = /. ] && continue
  if [ -L "$path" ] || [ -f "$path" ]; then
    left+=("$path")
  elif [ -d "$path" ] && ! dpkg-query -S "$path" >/dev/null 2>&1; then
    # A folder of kelv's alone: whatever is still in it was left by kelv.
    entries=$(find "$path" -mindepth 1 -maxdepth 1)
    [ -n "$entries" ] || left+=("$path")
    while IFS= read -r inside; do
      [ -z "$inside" ] || dpkg-query -S "$inside" >/dev/null 2>&1 || left+=("$inside")
    done <<<"$entries"
  fi
done <"$scratch/files.txt"
if ((${#left[@]})); then
  bad "left after the purge: $(printf '%s\n' "${left[@]}" | LC_ALL=C sort -u | head -5 | xargs)"
fi
step "purged"

if ((broken)); then
  keep_logs
  echo "test-package: $broken rule(s) broken (logs: $logs/)" >&2
  exit 1
fi
echo "test-package: passed in ${SECONDS} s"
