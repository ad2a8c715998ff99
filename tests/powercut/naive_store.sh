#!/bin/sh
# The negative control of the power-cut proof: stores a section as a hasty
# script would, rewriting the settings file in place (truncate, write)
# without any fsync. It keeps the file's owner, mode and attributes, so what
# the replay finds against it is in the content. A lock in /run keeps only
# the bookkeeping of versions in order.
#
# usage: naive_store.sh SECTION TEXT_FILE
PATH=/bin
section=$1
text=$2
settings=/opt/tal/etc/settings
key=MOD_TAL_$(echo "$section" | tr '[:lower:]' '[:upper:]')_CONF
run=$(cat /run/powercut-run)
phase=$(cat /run/powercut-phase)
dir=/results/$run/versions/$phase
until mkdir /run/naive-store.lock 2>/dev/null; do
  usleep 10000
done
new=/tmp/naive-store.$$
{
  grep -v "^$key=" "$settings"
  echo "$key=$(base64 -w 0 "$text")"
} >"$new"
count=/results/$run/count-$phase
version=$(($(cat "$count" 2>/dev/null || echo 0) + 1))
echo "$version" >"$count"
cat "$new" >"$dir/v$version"
echo "$$ $version" >>"/results/$run/by-pid-$phase"
cat "$new" >"$settings"
status=$?
rm -f "$new"
rmdir /run/naive-store.lock
logger -t "naive-store-${section}[$$]" "stored section $section"
exit "$status"
