#!/bin/sh
# in-own-home.sh DIR COMMAND...: runs a test with a home of its own, emptied at every run, so that
# no test sees the user's data folder or what another test left behind.
dir=$1
shift
rm -rf "$dir" && mkdir -p "$dir/.local/share" "$dir/.config" || exit 1
HOME=$dir XDG_DATA_HOME=$dir/.local/share XDG_CONFIG_HOME=$dir/.config exec "$@"
