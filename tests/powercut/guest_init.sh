#!/bin/sh
# /init of the power-cut guest (scripts/powercut.sh builds its initramfs).
# Loads the modules, starts the system log, runs each of its workloads
# listed in /powercut/runs on its own pair of disks (data under the log-writes target,
# log) and, in the guest named in /powercut/vfat, the stores on vfat
# (vfat_stores.sh). Then it replays and judges the logs of its runs on f2fs,
# JFFS2 and UBIFS, which only this kernel can mount (powercut_check with
# mount_fs.sh, as /powercut/checks says), writes what the host needs onto
# the results disk as a tar archive and powers off. Disks are found by their
# serial numbers: the order of /dev/vd* is the PCI probe order, which qemu
# does not promise.
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
# The disks as logging found them, and the replay's images.
mount -t tmpfs tmpfs /checks
mkdir -p /mnt/data /opt/tal/etc
cut -d' ' -f1 /proc/uptime >/results/boot-seconds
# The host finds each store's log line by its pid: the stores on the
# checked states come after thousands of other processes, and must not
# take a workload store's pid again.
echo 4194304 >/proc/sys/kernel/pid_max
uname -r >/results/kernel

fail() {
  echo "powercut guest: $*" | tee -a /results/failed
}

while read -r module; do
  insmod "/lib/modules/$module.ko" || fail "cannot load $module"
done </powercut/modules

# What the kernel says when it first loads block2mtd, which is unsigned;
# later mounts would push it out of the kernel's log.
if insmod /lib/modules/block2mtd.ko; then
  rmmod block2mtd
else
  fail "cannot load block2mtd"
fi
dmesg | grep -e 'block2mtd: .*taint' -e 'tainting kernel' >/results/taint

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
while read -r guest number run fs options writer copier; do
  [ "$guest" = "$me" ] || continue
  started=$(cut -d' ' -f1 /proc/uptime)
  sh /powercut/workload.sh "$run" "$(disk "data$number")" "$(disk "log$number")" \
    "$fs" "$options" "$writer" "$copier" || fail "workload $run failed"
  echo "$run $started $(cut -d' ' -f1 /proc/uptime)" >>/results/times
  echo "powercut guest: workload $run done at $(cut -d' ' -f1 /proc/uptime) s"
done </powercut/runs

# The guest named in /powercut/vfat also stores into a settings directory on
# vfat, on the disk with that serial; the host judges what it kept.
read -r vfat_guest vfat_texts </powercut/vfat
if [ "$vfat_guest" = "$me" ]; then
  # shellcheck disable=SC2086
  sh /powercut/vfat_stores.sh "$(disk vfat)" /powercut/settings.vfat $vfat_texts
fi

# The replays of this guest's runs on flash filesystems, as
# /powercut/checks has them: "RUN NUMBER FILESYSTEM SAMPLES STATES"
# per run, after the line "seed SEED STORE_EVERY". A log disk is read as it
# is now: what the kernel read of it at boot goes first.
seed=$(sed -n 's/^seed \([0-9]*\) [0-9]*$/\1/p' /powercut/checks)
store_every=$(sed -n 's/^seed [0-9]* \([0-9]*\)$/\1/p' /powercut/checks)
while read -r run number fs samples states; do
  if [ "$run" = seed ] || [ ! -d "/checks/$run" ]; then
    continue
  fi
  log=$(disk "log$number")
  blockdev --flushbufs "$log"
  dir=/checks/$run
  mkdir -p "$dir/work"
  ln -s "$log" "$dir/log.img"
  for phase in small acl large; do
    mkdir -p "$dir/versions/$phase"
    cp "/powercut/v0/$phase" "$dir/versions/$phase/v0"
    cp "/results/$run/versions/$phase"/v* "$dir/versions/$phase/" 2>/dev/null
  done
  started=$(cut -d' ' -f1 /proc/uptime)
  # Its progress and errors also go to the console, which the host keeps.
  {
    powercut_check "$dir" "$dir/work" "$samples" "$seed" "$store_every" \
      /powercut/store_on_state.sh "$states" /powercut/mount_fs.sh "$fs"
    echo "$?" >"/results/$run/check.status"
  } 2>&1 | tee "/results/$run/check.out" | grep -e '^judged' -e '^powercut_check'
  echo "check-$run $started $(cut -d' ' -f1 /proc/uptime)" >>/results/times
  echo "powercut guest: $run judged at $(cut -d' ' -f1 /proc/uptime) s: $(tail -n 1 "/results/$run/check.out")"
  rm -rf "$dir"
done </powercut/checks

# The last stores' log lines are datagrams syslogd may not have read yet.
sleep 1
kill "$syslog"
wait "$syslog"
cut -d' ' -f1 /proc/uptime >/results/end-seconds
tar -cf "$(disk results)" -C /results . || echo "powercut guest: cannot write the results"
sync
poweroff -f
