#!/bin/sh
# as-unprivileged.sh DIR COMMAND...: runs a test as an unprivileged user (nobody) when started as
# root, with DIR (its home) given to that user: a Wayland compositor refuses to run as root.
dir=$1
shift
[ "$(id -u)" -ne 0 ] && exec "$@"
chown -R nobody:nogroup "$dir" || exit 1
drop="setpriv --reuid=nobody --regid=nogroup --clear-groups"
if ! $drop test -x "$1"; then
    echo "SKIP: $1 cannot be run by the user nobody (a folder above it is closed to others)"
    exit 77
fi
exec $drop "$@"
