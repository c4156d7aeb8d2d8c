#!/bin/sh
# A stand-in for the gsettings tool: records every call in $FAKE_GSETTINGS_DIR/calls
# and keeps set values in files there, like a desktop settings database.
# Marker files in the same folder change its behaviour:
#   no-schema      every call fails as with a missing schema
#   ignore-writes  "set" succeeds but keeps nothing (the memory backend without a session bus)
#   hang           every call hangs
#   linger         "get" leaves a background process holding its output open
dir=${FAKE_GSETTINGS_DIR:?}
echo "$*" >> "$dir/calls"
if [ -e "$dir/hang" ]; then
    exec sleep 60
fi
if [ -e "$dir/no-schema" ]; then
    echo "No such schema \"$2\"" >&2
    exit 1
fi
case "$1" in
set)
    [ "$#" -eq 4 ] || exit 1
    [ -e "$dir/ignore-writes" ] || printf '%s\n' "$4" > "$dir/$2.$3"
    exit 0
    ;;
get)
    [ "$#" -eq 3 ] || exit 1
    if [ -e "$dir/linger" ]; then
        sleep 3 &
    fi
    if [ -e "$dir/$2.$3" ]; then
        cat "$dir/$2.$3"
    else
        echo 0
    fi
    exit 0
    ;;
esac
exit 1
