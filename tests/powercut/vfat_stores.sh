#!/bin/sh
# Stores into a settings directory on vfat, in the power-cut guest: the disk
# is mounted over /opt/tal/etc with vfat's defaults (every file root's with
# mode 0755, no ACL or extended attributes), gets a settings file, and takes
# one store into ospf per text, in turn, with BusyBox's cp. No log-writes
# here: for each store it keeps, under /results/vfat, the pid and exit status
# ("stores"), the settings file and what the directory holds afterwards;
# scripts/powercut.sh judges them with each store's log line.
#
# usage: vfat_stores.sh DISK SETTINGS TEXT...
set -u
disk=$1 settings=$2
shift 2
out=/results/vfat
mkdir -p "$out/versions/stores"
# hash_generate keeps each version under the run and phase named here.
echo vfat >/run/powercut-run
echo stores >/run/powercut-phase
rm -f /bin/cp && ln -s busybox /bin/cp
if ! mount -t vfat "$disk" /opt/tal/etc || ! cp "$settings" /opt/tal/etc/settings; then
  echo "cannot mount $disk on /opt/tal/etc with vfat or put the settings file there" >"$out/errors"
  exit 1
fi
for text in "$@"; do
  "/bin/tal-setconf-ospf" "/powercut/texts/$text" &
  pid=$!
  wait "$pid"
  echo "$pid $text $?" >>"$out/stores"
  cp /opt/tal/etc/settings "$out/settings-$text"
  ls -A /opt/tal/etc >"$out/beside-$text"
done
ls -lnA /opt/tal/etc >"$out/listing"
umount /opt/tal/etc
