#!/bin/sh
# Mounts a settings filesystem in the power-cut guest, and takes it down
# again: the disk under the log-writes target in a workload, or a disk state
# the replay made (an image file, put on a loop device of exactly its size,
# since UBI refuses a device longer than its image with EINVAL).
#
# JFFS2 and UBIFS lie on flash: an MTD device that block2mtd makes of the
# block device, with 128 KiB erase blocks, named "flash". block2mtd is built
# by scripts/powercut.sh with every write and erase synced and flushed before
# it returns, so that the log holds each one as flash would keep it. A
# block2mtd device goes only with the module. UBI is attached with
# ubiattach (arm64 mtd-utils) at each mount; its volume is "settings".
#
# The replay mounts state after state from one image file, rewritten in
# between: the loop device and the flash stay from one mount to the next
# (loading block2mtd and setting up a loop cost the emulated guest about a
# third of a state's time), and what the kernel cached of the last state is
# dropped before each mount.
#
# usage: mount_fs.sh mount FILESYSTEM DEVICE_OR_IMAGE DIR [OPTIONS]
#        mount_fs.sh unmount FILESYSTEM DIR   (the loop device and flash stay)
#        mount_fs.sh release FILESYSTEM DIR   (and go)
#   FILESYSTEM  ext4, f2fs, jffs2 or ubifs; OPTIONS only for ext4
# A mount that fails undoes what it set up and exits 1, with the reason.
set -u
verb=$1 fs=$2
flash_geometry=128KiB

# mtd_number NAME: the number of the MTD device named NAME.
mtd_number() {
  sed -n "s/^mtd\([0-9]*\): .* \"$1\"\$/\1/p" /proc/mtd
}

# release DIR: the UBI device, flash and loop device set up for DIR go.
release() {
  if [ -e "$1.ubi" ]; then
    ubidetach -d 0 >/dev/null || return 1
    rm -f "$1.ubi"
  fi
  if [ -e "$1.flash" ]; then
    rmmod block2mtd || return 1
    rm -f "$1.flash"
  fi
  if [ -e "$1.loop" ]; then
    losetup -d "$(cat "$1.loop")" || return 1
    rm -f "$1.loop"
  fi
}

fail() {
  echo "$*"
  release "$dir" >/dev/null 2>&1
  exit 1
}

case $verb in
mount)
  device=$3 dir=$4 options=${5:-}
  mkdir -p "$dir" || exit 1
  if [ -f "$device" ]; then
    if [ -e "$dir.loop" ]; then
      device=$(cat "$dir.loop")
      blockdev --flushbufs "$device" || fail "cannot drop what is cached of $device"
    else
      loop=$(losetup -f) || fail "no free loop device"
      losetup "$loop" "$device" || fail "no loop device for $device"
      echo "$loop" >"$dir.loop"
      device=$loop
    fi
  fi
  case $fs in
  ext4) said=$(mount -t ext4 -o "$options" "$device" "$dir" 2>&1) || fail "mount: $said" ;;
  f2fs) said=$(mount -t f2fs "$device" "$dir" 2>&1) || fail "mount: $said" ;;
  jffs2 | ubifs)
    if [ ! -e "$dir.flash" ]; then
      insmod /lib/modules/block2mtd.ko "block2mtd=$device,$flash_geometry,flash" ||
        fail "block2mtd did not load on $device"
      : >"$dir.flash"
    fi
    mtd=$(mtd_number flash)
    [ -n "$mtd" ] || fail "block2mtd made no MTD device of $device"
    if [ "$fs" = jffs2 ]; then
      said=$(mount -t jffs2 "mtd$mtd" "$dir" 2>&1) || fail "mount: $said"
    else
      said=$(ubiattach -m "$mtd" -d 0 2>&1) || fail "ubiattach: $said"
      : >"$dir.ubi"
      said=$(mount -t ubifs ubi0:settings "$dir" 2>&1) || fail "mount: $said"
    fi
    ;;
  *) fail "no filesystem $fs" ;;
  esac
  ;;
unmount)
  dir=$3
  umount "$dir" || exit 1
  if [ -e "$dir.ubi" ]; then
    ubidetach -d 0 >/dev/null || exit 1
    rm -f "$dir.ubi"
  fi
  ;;
release)
  dir=$3
  release "$dir" || exit 1
  ;;
*)
  echo "usage: mount_fs.sh mount FILESYSTEM DEVICE_OR_IMAGE DIR [OPTIONS] | unmount|release FILESYSTEM DIR"
  exit 2
  ;;
esac
