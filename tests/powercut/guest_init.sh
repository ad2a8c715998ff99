#!/bin/sh
# /init of the power-cut guest (scripts/powercut.sh builds its initramfs).
# Loads the modules, starts the system log, runs each of its workloads
# listed in /powercut/runs on its own pair of disks (data under the log-writes target,
# log) and, in the guest named in /powercut/vfat, the stores on vfat
# (vfat_stores.sh), then writes what the host needs onto the results disk
# as a tar archive and powers off. Disks are found by their serial numbers: the order
# of /dev/vd* is the PCI probe order, which qemu does not promise.
PATH=/bin
export PATH
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# As on the router: /tmp, where the tool's working copy goes, is in memory.
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /results
mkdir -p /mnt/data /opt/tal/etc
cut -d' ' -f1 /proc/uptime >/results/boot-seconds
uname -r >/results/kernel

fail() {
  echo "powercut guest: $*" | tee -a /results/failed
}

while read -r module; do
  insmod "/lib/modules/$module.ko" || fail "cannot load $module"
done </powercut/modules

disk() {
  for block in /sys/block/vd*; do
    if [ "$(cat "$block/serial")" = "$1" ]; then
      echo "/dev/${block##*/}"
      return 0
    fi
  done
  fail "no disk with serial $1"
  echo /dev/null
}

syslogd -n -O /results/syslog &
syslog=$!
# syslogd makes /dev/log itself; a store logged before that would be lost.
tries=0
while [ ! -S /dev/log ] && [ "$tries" -lt 100 ]; do
  usleep 20000
  tries=$((tries + 1))
done

# Two guests share the list; the kernel's command line says which this is.
me=$(sed -n 's/.*powercut\.guest=\([0-9]*\).*/\1/p' /proc/cmdline)
while read -r guest number run options writer copier; do
  [ "$guest" = "$me" ] || continue
  started=$(cut -d' ' -f1 /proc/uptime)
  sh /powercut/workload.sh "$run" "$(disk "data$number")" "$(disk "log$number")" \
    "$options" "$writer" "$copier" || fail "workload $run failed"
  echo "$run $started $(cut -d' ' -f1 /proc/uptime)" >>/results/times
done </powercut/runs

# The guest named in /powercut/vfat also stores into a settings directory on
# vfat, on the disk with that serial; the host judges what it kept.
read -r vfat_guest vfat_texts </powercut/vfat
if [ "$vfat_guest" = "$me" ]; then
  # shellcheck disable=SC2086
  sh /powercut/vfat_stores.sh "$(disk vfat)" /powercut/settings.vfat $vfat_texts
fi

# The last stores' log lines are datagrams syslogd may not have read yet.
sleep 1
kill "$syslog"
wait "$syslog"
cut -d' ' -f1 /proc/uptime >/results/end-seconds
tar -cf "$(disk results)" -C /results . || echo "powercut guest: cannot write the results"
sync
poweroff -f
