#!/bin/sh
# /sbin/hash_generate of the power-cut guest. The tool runs it under its
# lock right after each commit, so it sees every version of the settings
# file in commit order: it keeps each one, numbered, with the process id of
# the store that made it (its parent), for the replay on the host.
PATH=/bin
run=$(cat /run/powercut-run)
phase=$(cat /run/powercut-phase)
dir=/results/$run/versions/$phase
count=/results/$run/count-$phase
version=$(($(cat "$count" 2>/dev/null || echo 0) + 1))
echo "$version" >"$count"
cat "$1" >"$dir/v$version"
echo "$PPID $version" >>"/results/$run/by-pid-$phase"
