#!/bin/sh
# One workload of the power-cut guest: the data disk goes under the
# log-writes target before its first write, is mounted with the variant's
# filesystem and options (mount_fs.sh), and takes the stores of the three
# settings directories in turn,
# each bound over /opt/tal/etc. After every store that exits 0 a mark
# "ack:<directory>:<version>" goes into the log, so the replay knows what
# was acknowledged; after every store another program appends to its own
# file and fsyncs it, as daemons on the router do, which commits the
# journal at moments the writer of the settings does not choose.
#
# A run on f2fs, JFFS2 or UBIFS is judged in this guest (guest_init.sh): the
# disk as logging finds it is kept for it, at /checks/RUN/base.img. On f2fs
# the disk first gets the ACL and user attribute of the settings file that
# mkfs.f2fs and sload.f2fs cannot write (/powercut/attributes: NAME
# VALUE_FILE per line), before logging begins.
#
# usage: workload.sh RUN DATA_DISK LOG_DISK FILESYSTEM MOUNT_OPTIONS tool|naive busybox|recreating
set -u
run=$1 data=$2 log=$3 fs=$4 options=$5 writer=$6 copier=$7
out=/results/$run
mkdir -p "$out/versions"
echo "$run" >/run/powercut-run
target=lw-$run

if [ "$fs" = f2fs ]; then
  sh /powercut/mount_fs.sh mount f2fs "$data" /mnt/data || exit 1
  while read -r name value; do
    set_xattr /mnt/data/acl/tal/etc/settings "$name" "/powercut/$value" || exit 1
  done </powercut/attributes
  sh /powercut/mount_fs.sh unmount f2fs /mnt/data || exit 1
  sh /powercut/mount_fs.sh release f2fs /mnt/data || exit 1
fi
if [ "$fs" != ext4 ]; then
  mkdir -p "/checks/$run"
  cat "$data" >"/checks/$run/base.img" || exit 1
fi
device=$(log_writes_ctl create "$target" "$data" "$log") || exit 1
sh /powercut/mount_fs.sh mount "$fs" "$device" /mnt/data "$options" || exit 1
if [ "$copier" = recreating ]; then
  rm /bin/cp && cat /powercut/recreating_cp.sh >/bin/cp && chmod 755 /bin/cp || exit 1
fi

start_store() {
  if [ "$writer" = tool ]; then
    "/bin/tal-setconf-$1" "/powercut/texts/$2" &
  else
    sh /powercut/naive_store.sh "$1" "/powercut/texts/$2" &
  fi
  started=$!
}

# finish_store PID SECTION: waits, records, and marks an acknowledged store.
finish_store() {
  wait "$1"
  status=$?
  echo "$1 $phase $2 $status" >>"$out/stores"
  if [ "$status" = 0 ]; then
    version=$(awk -v pid="$1" '$1 == pid { print $2 }' "$out/by-pid-$phase" 2>/dev/null)
    if [ -z "$version" ]; then
      echo "store $1 exited 0 but no version of it was kept" >>"$out/errors"
      return
    fi
    log_writes_ctl mark "$target" "ack:$phase:$version" || echo "cannot mark $1" >>"$out/errors"
  fi
  echo "$phase $2 $1" >>/mnt/data/var/events
  sync /mnt/data/var/events
}

store() {
  start_store "$1" "$2"
  finish_store "$started" "$1"
}

# Two sections at the same time: they meet at the tool's lock.
pair() {
  start_store "$1" "$2"
  first=$started
  start_store "$3" "$4"
  second=$started
  finish_store "$first" "$1"
  finish_store "$second" "$3"
}

begin_phase() {
  phase=$1
  echo "$phase" >/run/powercut-phase
  mkdir -p "$out/versions/$phase"
  : >"$out/by-pid-$phase"
  mount --bind "/mnt/data/$phase" /opt || exit 1
}

end_phase() {
  umount /opt || exit 1
}

begin_phase small
store pim_sm t01
store ospf t02
store bgp t03
pair pim_sm t04 ospf t05
store ospf6 t06
store pim_sm t07
store bgp t08
end_phase

begin_phase acl
store ospf t09
store pim_sm t10
store rip t11
pair bgp t12 pim_sm t13
store ospf t14
end_phase

begin_phase large
store pim_sm t15
store ospf t16
store bgp t17
store pim_sm t18
store ospf6 t19
store ospf t20
store pim_sm t21
store bgp t22
end_phase

if [ "$copier" = recreating ]; then
  rm /bin/cp && ln -s busybox /bin/cp
fi
sh /powercut/mount_fs.sh unmount "$fs" /mnt/data || exit 1
sh /powercut/mount_fs.sh release "$fs" /mnt/data || exit 1
log_writes_ctl remove "$target"
