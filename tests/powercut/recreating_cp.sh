#!/bin/sh
# /bin/cp for the second workload: like BusyBox built with its default
# configuration, it removes an existing destination and creates it anew,
# exclusively, instead of truncating the file that is there.
PATH=/bin
[ $# = 2 ] || exit 1
rm -f "$2" || exit 1
set -C
cat "$1" >"$2"
