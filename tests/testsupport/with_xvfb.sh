#!/bin/sh
# Runs a command on an Xvfb display of its own (picked by Xvfb itself) and ends
# that display afterwards; the command's exit status is the script's.
set -eu
fifo_dir=$(mktemp -d)
mkfifo "$fifo_dir/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo_dir/display" 2>/dev/null &
xvfb=$!
read -r number <"$fifo_dir/display"
rm -rf "$fifo_dir"
status=0
DISPLAY=":$number" "$@" || status=$?
kill "$xvfb" 2>/dev/null || true
wait "$xvfb" 2>/dev/null || true
exit "$status"
