#!/bin/sh
# Power-cut proof: runs stores of the router's build of tal-setconf on
# Debian's arm64 kernel under qemu-system-aarch64, with the settings disk
# under the kernel's log-writes target, then replays the log on this machine
# and checks every disk state a power cut could leave (tests/powercut/).
#
# Two guests run fifteen workloads, each on its own data and log disk: three
# ext4 variants (data=ordered, data=writeback, noauto_da_alloc) times three
# writers (the tool with BusyBox's cp, the tool with a cp that recreates its
# destination, and a naive writer as the negative control), and the tool and
# the naive writer on each of the router's flash filesystems: f2fs, JFFS2
# and UBIFS, the last two on an MTD device that block2mtd makes of the disk
# (built here from Debian's kernel source, changed to keep every write; see
# tests/powercut/mount_fs.sh). This machine's kernel mounts none of those
# three: their logs are replayed and every state is judged in the guests,
# by their kernel (tests/powercut/guest_init.sh); ext4's here.
# One guest also stores into a settings directory on vfat mounted with its
# defaults, without log-writes: each store must exit 0 and leave its text in
# place (tests/powercut/vfat_stores.sh).
#
# usage: scripts/powercut.sh   (root; everything it writes is under
#                               build-powercut/, downloads cached there)
#   POWERCUT_SAMPLES  reorderings tried per flush interval on ext4 (default 8)
#   POWERCUT_SEED     seed of the reorderings and of the sampled prefixes
#                     (default: the time, printed)
# Exit status 0 only when, on every filesystem, no state of the tool is bad
# and the control found torn or empty files, and the stores on vfat worked;
# the line "powercut: N passed, N failed" counts these checks.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
began=$(date +%s)
samples=${POWERCUT_SAMPLES:-8}
seed=${POWERCUT_SEED:-$began}
store_every=10
# On the flash filesystems, where a state is mounted by an emulated kernel
# (0.25 to 0.5 s each, twice that on a busy machine), "FILESYSTEM
# REORDERINGS STATES": the reorderings per flush interval, and about how
# many states of the tool's run are judged (powercut_check samples prefixes
# and intervals alike to fit); a quarter as many are asked of the control.
# JFFS2's states cost least, and its log is the longest.
flash_sampling="f2fs 2 160
jffs2 1 400
ubifs 1 140"
build=$top/build-powercut
cache=$build/cache

say() { echo "powercut: $*"; }
die() {
  echo "powercut: FAILED: $*" >&2
  exit 1
}
elapsed() { echo $(($(date +%s) - began)); }

[ "$(id -u)" = 0 ] || die "needs root (loop mounts in a private mount namespace, the sandbox)"
sh scripts/install-deps.sh qemu-system-arm e2fsprogs cpio g++-aarch64-linux-gnu cmake make \
  g++ libgtest-dev acl attr util-linux coreutils dosfstools f2fs-tools mtd-utils \
  gcc-aarch64-linux-gnu xz-utils patch
mkdir -p "$cache/debs"

# --- Downloads: the arm64 kernel and BusyBox, through an apt of our own -----
# Its own sources, lists, state and archive cache under $cache, for arm64
# only; the machine's dpkg never hears of arm64.
apt_dir=$cache/apt-arm64
apt_arm64() { APT_CONFIG=$apt_dir/apt.conf "$@"; }
setup_apt() {
  mkdir -p "$apt_dir/etc/apt.conf.d" "$apt_dir/etc/preferences.d" "$apt_dir/etc/sources.list.d" \
    "$apt_dir/state/lists/partial" "$apt_dir/archives/partial"
  touch "$apt_dir/state/status"
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  {
    echo "deb [arch=arm64 signed-by=$keyring] http://deb.debian.org/debian bookworm main"
    echo "deb [arch=arm64 signed-by=$keyring] http://deb.debian.org/debian bookworm-updates main"
    echo "deb [arch=arm64 signed-by=$keyring] http://deb.debian.org/debian-security bookworm-security main"
  } >"$apt_dir/etc/sources.list"
  cat >"$apt_dir/apt.conf" <<EOF
Dir::Etc "$apt_dir/etc";
Dir::Etc::sourcelist "sources.list";
Dir::Etc::sourceparts "sources.list.d";
Dir::Etc::parts "apt.conf.d";
Dir::Etc::preferences "preferences";
Dir::Etc::preferencesparts "preferences.d";
Dir::State "$apt_dir/state";
Dir::State::status "$apt_dir/state/status";
Dir::Cache "$apt_dir/cache";
Dir::Cache::archives "$apt_dir/archives";
APT::Architecture "arm64";
APT::Architectures { "arm64"; };
Acquire::Languages "none";
EOF
}
cached() { find "$cache/debs" -name "$1" | sort | tail -n 1; }
kernel_deb=$(cached 'linux-image-*-arm64_*_arm64.deb')
busybox_deb=$(cached 'busybox-static_*_arm64.deb')
mtd_utils_deb=$(cached 'mtd-utils_*_arm64.deb')
libc_deb=$(cached 'libc6_*_arm64.deb')
if [ -z "$kernel_deb" ] || [ -z "$busybox_deb" ] || [ -z "$mtd_utils_deb" ] || [ -z "$libc_deb" ]; then
  setup_apt
  apt_arm64 apt-get update -qq
  # linux-image-arm64 is a metapackage: the kernel is the package it depends on.
  kernel_package=$(apt_arm64 apt-cache depends linux-image-arm64 |
    sed -n 's/^ *Depends: \(linux-image-[0-9].*-arm64\)$/\1/p' | head -n 1)
  [ -n "$kernel_package" ] || die "linux-image-arm64 names no kernel package"
  # apt warns that root, not _apt, downloads into a directory of root's.
  (
    cd "$cache/debs"
    apt_arm64 apt-get download -q "$kernel_package" busybox-static mtd-utils libc6 2>&1 |
      grep -v "unsandboxed"
  ) || true
  kernel_deb=$(cached "${kernel_package}_*_arm64.deb")
  busybox_deb=$(cached 'busybox-static_*_arm64.deb')
  mtd_utils_deb=$(cached 'mtd-utils_*_arm64.deb')
  libc_deb=$(cached 'libc6_*_arm64.deb')
  if [ -z "$kernel_deb" ] || [ -z "$busybox_deb" ] || [ -z "$mtd_utils_deb" ] ||
    [ -z "$libc_deb" ]; then
    die "the arm64 packages were not downloaded"
  fi
  say "downloaded after $(elapsed) s"
else
  say "arm64 packages from the cache ($cache/debs), nothing downloaded"
fi
kernel_package=$(dpkg-deb -f "$kernel_deb" Package)
kernel_version=$(dpkg-deb -f "$kernel_deb" Version)
say "guest kernel package: $kernel_package $kernel_version"
say "busybox-static $(dpkg-deb -f "$busybox_deb" Version); arm64 mtd-utils" \
  "$(dpkg-deb -f "$mtd_utils_deb" Version) (ubiattach, ubidetach) with libc6 $(dpkg-deb -f "$libc_deb" Version)"

# --- block2mtd for the guest's kernel ----------------------------------------
# Built out of tree from Debian's kernel source against the guest kernel's
# headers, with this machine's kbuild: all three must be the guest kernel's
# very version, or the module is not the kernel's. Only the one source file
# is taken from linux-source-6.1, and kept in the cache.
abi=${kernel_package#linux-image-}
abi=${abi%-arm64}
headers_deb=$(cached "linux-headers-$abi-arm64_${kernel_version}_arm64.deb")
headers_common_deb=$(cached "linux-headers-$abi-common_${kernel_version}_all.deb")
source_deb=$(cached "linux-source-6.1_${kernel_version}_all.deb")
if [ -z "$headers_deb" ] || [ -z "$headers_common_deb" ] || [ -z "$source_deb" ]; then
  [ -f "$apt_dir/apt.conf" ] || { setup_apt && apt_arm64 apt-get update -qq; }
  (
    cd "$cache/debs"
    apt_arm64 apt-get download -q "linux-headers-$abi-arm64=$kernel_version" \
      "linux-headers-$abi-common=$kernel_version" "linux-source-6.1=$kernel_version" 2>&1 |
      grep -v "unsandboxed"
  ) || true
  headers_deb=$(cached "linux-headers-$abi-arm64_${kernel_version}_arm64.deb")
  headers_common_deb=$(cached "linux-headers-$abi-common_${kernel_version}_all.deb")
  source_deb=$(cached "linux-source-6.1_${kernel_version}_all.deb")
  if [ -z "$headers_deb" ] || [ -z "$headers_common_deb" ] || [ -z "$source_deb" ]; then
    die "linux-headers-$abi-arm64, linux-headers-$abi-common and linux-source-6.1 at $kernel_version, the guest kernel's version, cannot be downloaded; block2mtd would not match the kernel"
  fi
fi
kbuild_version=$(dpkg-query -W -f='${Version}' linux-kbuild-6.1 2>/dev/null || true)
if [ "$kbuild_version" != "$kernel_version" ]; then
  echo "installing: linux-kbuild-6.1=$kernel_version"
  apt-get update -q >/dev/null 2>&1 || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "linux-kbuild-6.1=$kernel_version" >"$cache/kbuild-install.log" 2>&1 </dev/null || true
  kbuild_version=$(dpkg-query -W -f='${Version}' linux-kbuild-6.1 2>/dev/null || true)
fi
[ "$kbuild_version" = "$kernel_version" ] ||
  die "linux-kbuild-6.1 is ${kbuild_version:-not installed}, not $kernel_version, the guest kernel's version; block2mtd would not match the kernel"
for deb in "$headers_deb" "$headers_common_deb" "$source_deb"; do
  [ "$(dpkg-deb -f "$deb" Version)" = "$kernel_version" ] ||
    die "$(basename "$deb") is not at $kernel_version, the guest kernel's version"
done
say "block2mtd from linux-source-6.1 $kernel_version, headers linux-headers-$abi-arm64 and -common $kernel_version, linux-kbuild-6.1 $kbuild_version"
headers=$cache/headers-$kernel_version
if [ ! -f "$headers/done" ]; then
  rm -rf "$headers"
  mkdir -p "$headers/usr/lib"
  dpkg-deb -x "$headers_deb" "$headers"
  dpkg-deb -x "$headers_common_deb" "$headers"
  # The headers name kbuild and their common part by absolute paths.
  ln -s /usr/lib/linux-kbuild-6.1 "$headers/usr/lib/linux-kbuild-6.1"
  echo "include $headers/usr/src/linux-headers-$abi-common/Makefile" \
    >"$headers/usr/src/linux-headers-$abi-arm64/Makefile"
  touch "$headers/done"
fi
block2mtd_source=$cache/block2mtd-$kernel_version.c
if [ ! -f "$block2mtd_source" ]; then
  dpkg-deb --fsys-tarfile "$source_deb" | tar -xO ./usr/src/linux-source-6.1.tar.xz | xz -dc |
    tar -xO linux-source-6.1/drivers/mtd/devices/block2mtd.c >"$block2mtd_source.part"
  mv "$block2mtd_source.part" "$block2mtd_source"
fi
module_build=$build/block2mtd
rm -rf "$module_build"
mkdir -p "$module_build"
cp "$block2mtd_source" "$module_build/block2mtd.c"
patch -s -d "$module_build" -p4 <tests/powercut/block2mtd-durable.patch ||
  die "the change to block2mtd does not apply to linux-source-6.1 $kernel_version"
echo 'obj-m := block2mtd.o' >"$module_build/Kbuild"
make -s -C "$headers/usr/src/linux-headers-$abi-arm64" M="$module_build" ARCH=arm64 \
  CROSS_COMPILE=aarch64-linux-gnu- modules >"$module_build/make.log" 2>&1 || {
  cat "$module_build/make.log" >&2
  die "block2mtd did not build against linux-headers-$abi-arm64"
}

# --- Builds ----------------------------------------------------------------
cmake --preset aarch64-package >/dev/null
cmake --build --preset aarch64-package --target tal-setconf >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native --target tal-setconf powercut_check >/dev/null
guest_bin=$build/guest-bin
mkdir -p "$guest_bin"
aarch64-linux-gnu-g++ -std=c++20 -O2 -static -Wall -Wextra -Werror -I src \
  -o "$guest_bin/log_writes_ctl" tests/powercut/log_writes_ctl.cpp
aarch64-linux-gnu-g++ -std=c++20 -O2 -static -Wall -Wextra -Werror -I src \
  -o "$guest_bin/set_xattr" tests/powercut/set_xattr.cpp
# The replay and checker for the guests, which judge the flash filesystems.
aarch64-linux-gnu-g++ -std=c++20 -O2 -static -Wall -Wextra -Werror -I src -I tests \
  -o "$guest_bin/powercut_check" tests/powercut/powercut_check.cpp tests/powercut/write_log.cpp \
  tests/powercut/replay.cpp tests/powercut/state_check.cpp
say "built after $(elapsed) s"

# --- The settings, the texts and the disk image ------------------------------
data=$build/data
rm -rf "$data"
# Each phase's tree is the /opt of a router: <phase>/tal/etc/settings.
mkdir -p "$data/texts" "$data/tree/var"
for phase in small acl large; do
  mkdir -p "$data/tree/$phase/tal/etc"
done

# make_settings FILE BYTES: every kind of section, then generic sections of
# other daemons up to about BYTES.
make_settings() {
  awk -v bytes="$2" 'BEGIN {
    print "MOD_TAL_GLOBAL_ENABLED=1"
    print "MOD_TAL_GLOBAL_LOG_LEVEL=info"
    print "MOD_TAL_VRF1_NAME=\"blue vrf\""
    print "MOD_TAL_VRF1_IFACE=eth1"
    print "MOD_TAL_MPLS_ENABLED=1"
    print "MOD_TAL_PIM_SM_ENABLED=1"
    print "MOD_TAL_PIM_SM_RP_ADDR=10.0.0.1"
    print "MOD_TAL_PIM_SM_IFACE0_ENABLED=1"
    print "MOD_TAL_PIM_SM_IFACE0_NAME=eth0"
    print "MOD_TAL_PIM_SM_CONF=b2xkIGNvbmZpZwo="
    print "MOD_TAL_OSPF_ENABLED=1"
    print "MOD_TAL_OSPF_CONF=cm91dGVyIG9zcGYK"
    size = 300
    for (n = 0; size < bytes; n++) {
      value = ""
      for (i = 0; i < 6; i++) value = value sprintf("cGVlciAl%08dZW5kCg", n * 7 + i)
      line = sprintf("MOD_TAL_PEER%d_CONF=%s", n, value)
      print sprintf("MOD_TAL_PEER%d_ENABLED=%d", n, n % 2)
      print line
      size += length(line) + 24
    }
  }' >"$1"
}
make_settings "$data/tree/small/tal/etc/settings" 4000
make_settings "$data/tree/acl/tal/etc/settings" 65536
make_settings "$data/tree/large/tal/etc/settings" 1048576
: >"$data/tree/var/events"
chmod 0644 "$data/tree/small/tal/etc/settings"
chmod 0600 "$data/tree/large/tal/etc/settings"
# Owner, mode, an ACL and a user attribute the tool must carry to each version.
chown 0:1000 "$data/tree/acl/tal/etc/settings"
chmod 0640 "$data/tree/acl/tal/etc/settings"
setfacl -m u:1000:r "$data/tree/acl/tal/etc/settings"
setfattr -n user.origin -v factory "$data/tree/acl/tal/etc/settings"

# t01..t22: configuration texts from tens of bytes to the 12000 the tool stores.
n=0
for bytes in 60 300 1200 4000 90 12000 700 2500 160 6000 420 1500 11000 230 \
  12000 80 3000 9000 500 12000 40 7000; do
  n=$((n + 1))
  awk -v bytes="$bytes" -v n="$n" 'BEGIN {
    printf "! text %d\n", n
    size = 10
    for (i = 0; size < bytes; i++) {
      line = sprintf("interface eth%d\n ip ospf cost %d\n", i, i * n % 65535)
      if (size + length(line) > bytes) break
      printf "%s", line
      size += length(line)
    }
  }' >"$data/texts/t$(printf %02d "$n")"
done

# Block size 4096 as on the router; tables initialised now, so that no lazy
# initialisation writes in the guest.
mkfs.ext4 -q -F -b 4096 -N 128 -J size=4 -E lazy_itable_init=0,lazy_journal_init=0 \
  -d "$data/tree" "$data/base.img" 16M
attributes=$(debugfs -R "ea_list /acl/tal/etc/settings" "$data/base.img" 2>/dev/null)
case $attributes in
*system.posix_acl_access*user.origin*) ;;
*) die "the image's /acl/tal/etc/settings lacks its ACL or user.origin: $attributes" ;;
esac

# The flash filesystems' disks, each exactly as large as its image.
# f2fs: 64 MiB (it needs 56 at least), the tree loaded with owner and mode;
# the guest adds the ACL and user attribute, which sload.f2fs does not write
# (tests/powercut/workload.sh).
truncate -s 64M "$data/f2fs.img"
mkfs.f2fs -q "$data/f2fs.img"
sload.f2fs -f "$data/tree" -P "$data/f2fs.img" >"$data/sload.out" 2>&1 || {
  cat "$data/sload.out" >&2
  die "sload.f2fs could not load the tree into the f2fs image"
}
getfattr --absolute-names --only-values -n system.posix_acl_access "$data/tree/acl/tal/etc/settings" \
  >"$data/acl.value" || die "cannot read the ACL of the tree's /acl/tal/etc/settings"
printf factory >"$data/origin.value"
# JFFS2 on 16 MiB of NOR with 128 KiB erase blocks; every block gets its
# cleanmarker, or every mount would erase every block.
mkfs.jffs2 -e 128KiB --pad=16777216 -l --with-xattr -r "$data/tree" -o "$data/jffs2.img"
# UBIFS on a UBI volume "settings" of 32 MiB of NOR (block2mtd writes bytes:
# UBI's I/O unit is 1 byte, UBIFS's 8, a LEB 128 KiB less UBI's two
# headers), padded with erased flash. UBIFS of 6.1 holds no ACL: its tree
# has none.
rm -rf "$data/ubifs-tree"
cp -a "$data/tree" "$data/ubifs-tree"
setfacl -b "$data/ubifs-tree/acl/tal/etc/settings"
mkfs.ubifs -q -m 8 -e 130944 -c 230 -r "$data/ubifs-tree" -o "$data/ubifs-volume.img"
printf '[settings]\nmode=ubi\nimage=%s\nvol_id=0\nvol_type=dynamic\nvol_name=settings\nvol_flags=autoresize\n' \
  "$data/ubifs-volume.img" >"$data/ubi.ini"
# ubinize says that the volume is as large as its image: autoresize makes
# it fill the flash at the first attach.
ubinize -p 128KiB -m 1 -o "$data/ubifs.img" "$data/ubi.ini" >"$data/ubinize.out" 2>&1 || {
  cat "$data/ubinize.out" >&2
  die "ubinize failed"
}
ubi_bytes=$(stat -c %s "$data/ubifs.img")
tr '\0' '\377' </dev/zero | head -c $((32 * 1048576 - ubi_bytes)) >>"$data/ubifs.img"
[ "$(stat -c %s "$data/ubifs.img")" = $((32 * 1048576)) ] || die "the UBI image is not 32 MiB"

# --- The guest ---------------------------------------------------------------
guest=$build/guest
rm -rf "$guest"
mkdir -p "$guest/kernel" "$guest/busybox" "$guest/root"
dpkg-deb -x "$kernel_deb" "$guest/kernel"
dpkg-deb -x "$busybox_deb" "$guest/busybox"
kernel_image=$(ls "$guest"/kernel/boot/vmlinuz-*)
modules_dir=$(ls -d "$guest"/kernel/lib/modules/*)
vermagic() { tr '\0' '\n' <"$1" | sed -n 's/^vermagic=//p'; }
kernel_vermagic=$(vermagic "$(find "$modules_dir" -name mtd.ko)")
[ "$(vermagic "$module_build/block2mtd.ko")" = "$kernel_vermagic" ] ||
  die "block2mtd's vermagic \"$(vermagic "$module_build/block2mtd.ko")\" is not the kernel's \"$kernel_vermagic\""
say "block2mtd built, vermagic \"$kernel_vermagic\" as the kernel's; unsigned, it loads with a taint notice"
root=$guest/root
mkdir -p "$root/bin" "$root/sbin" "$root/lib/modules" "$root/dev" "$root/proc" "$root/sys" \
  "$root/tmp" "$root/run" "$root/mnt" "$root/opt" "$root/results" "$root/checks" "$root/powercut"
cp "$guest/busybox/bin/busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
# module_file NAME: the module's file in the kernel package.
module_file() {
  find "$modules_dir" -name "$1.ko" -o -name "$1.ko.xz" | head -n 1
}
# load_order NAME...: each module after those it needs (its "depends").
loaded=" "
load_order() {
  case $loaded in *" $1 "*) return ;; esac
  loaded="$loaded$1 "
  file=$(module_file "$1")
  [ -n "$file" ] || die "no module $1 in $(basename "$kernel_deb")"
  case $file in
  *.xz) xz -dc "$file" >"$root/lib/modules/$1.ko" ;;
  *) cp "$file" "$root/lib/modules/$1.ko" ;;
  esac
  for dependency in $(tr '\0' '\n' <"$root/lib/modules/$1.ko" | sed -n 's/^depends=//p' |
    tr ',' ' '); do
    load_order "$dependency"
  done
  echo "$1" >>"$root/powercut/modules"
}
# vfat mounts with the kernel's default code page 437 and character set
# ascii; UBIFS sets up every compressor it knows when it loads, zstd's
# among them; f2fs asks for crc32 without depending on it.
for module in virtio_pci virtio_blk crc32c_generic ext4 dm-log-writes vfat nls_cp437 nls_ascii \
  loop mtd jffs2 zstd ubi ubifs crc32_generic f2fs; do
  load_order "$module"
done
cp "$module_build/block2mtd.ko" "$root/lib/modules/block2mtd.ko"
# ubiattach and ubidetach need only the loader and the C library.
mkdir -p "$guest/mtd-utils" "$guest/libc" "$root/lib/aarch64-linux-gnu"
dpkg-deb -x "$mtd_utils_deb" "$guest/mtd-utils"
dpkg-deb -x "$libc_deb" "$guest/libc"
cp "$guest/libc/lib/aarch64-linux-gnu/ld-linux-aarch64.so.1" \
  "$guest/libc/lib/aarch64-linux-gnu/libc.so.6" "$root/lib/aarch64-linux-gnu/"
ln -s aarch64-linux-gnu/ld-linux-aarch64.so.1 "$root/lib/ld-linux-aarch64.so.1"
cp "$guest/mtd-utils/usr/sbin/ubiattach" "$guest/mtd-utils/usr/sbin/ubidetach" "$root/bin/"
cp build-aarch64-package/tal-setconf "$root/bin/tal-setconf"
for section in pim_sm ospf ospf6 bgp rip; do
  ln -s tal-setconf "$root/bin/tal-setconf-$section"
done
cp "$guest_bin/log_writes_ctl" "$guest_bin/set_xattr" "$guest_bin/powercut_check" "$root/bin/"
cp tests/powercut/guest_init.sh "$root/init"
cp tests/powercut/hash_generate.sh "$root/sbin/hash_generate"
cp tests/powercut/workload.sh tests/powercut/naive_store.sh tests/powercut/recreating_cp.sh \
  tests/powercut/vfat_stores.sh tests/powercut/mount_fs.sh tests/powercut/store_on_state.sh \
  "$root/powercut/"
# What the guests' checks need: each settings file before the first store,
# and the values the f2fs disk gets before logging.
mkdir -p "$root/powercut/v0"
for phase in small acl large; do
  cp "$data/tree/$phase/tal/etc/settings" "$root/powercut/v0/$phase"
done
cp "$data/acl.value" "$data/origin.value" "$root/powercut/"
printf 'system.posix_acl_access acl.value\nuser.origin origin.value\n' >"$root/powercut/attributes"
chmod 755 "$root/init" "$root/sbin/hash_generate"
cp -r "$data/texts" "$root/powercut/texts"
# Guest 1, with four runs to the other's five, also stores these texts into
# a copy of the small settings file on vfat.
vfat_guest=1
vfat_texts="t02 t06 t09"
echo "$vfat_guest $vfat_texts" >"$root/powercut/vfat"
cp "$data/tree/small/tal/etc/settings" "$root/powercut/settings.vfat"

# Two guests, one per core, take the ext4 runs in turn; each run's disks
# have serial numbers of their own. Guest 1, with the fewer ext4 runs, takes
# f2fs and UBIFS's tool, guest 2 JFFS2 and UBIFS's control, so that their
# judgements take about as long; each judges its own flash runs' states.
runs=""
number=0
for variant in ordered:data=ordered writeback:data=writeback noauto_da_alloc:noauto_da_alloc; do
  for writer in tool:busybox tool:recreating naive:busybox; do
    number=$((number + 1))
    name=${variant%%:*}-${writer%%:*}-${writer#*:}
    [ "${writer%%:*}" = naive ] && name=${variant%%:*}-naive
    echo "$((number % 2 + 1)) $number $name ext4 ${variant#*:} ${writer%%:*} ${writer#*:}" \
      >>"$root/powercut/runs"
    runs="$runs $name"
  done
done
echo "seed $seed $store_every" >"$root/powercut/checks"
echo "$flash_sampling" | while read -r fs reorderings states; do
  for writer in tool naive; do
    number=$((number + 1))
    case $fs-$writer in
    f2fs-* | ubifs-tool) guest_id=1 ;;
    *) guest_id=2 ;;
    esac
    [ "$writer" = naive ] && states=$((states / 4))
    echo "$guest_id $number $fs-$writer $fs - $writer busybox" >>"$root/powercut/runs"
    echo "$fs-$writer $number $fs $reorderings $states" >>"$root/powercut/checks"
  done
done
flash_runs=$(sed -n 's/^[0-9]* [0-9]* \([^ ]*\) \(f2fs\|jffs2\|ubifs\) .*/\1/p' "$root/powercut/runs" |
  tr '\n' ' ')
runs="$runs $flash_runs"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$guest/initramfs.cpio"

disks=$build/disks
rm -rf "$disks"
mkdir -p "$disks"
while read -r id number name fs rest; do
  case $fs in
  ext4) cp --sparse=always "$data/base.img" "$disks/data$number.img" ;;
  *) cp "$data/$fs.img" "$disks/data$number.img" ;;
  esac
  truncate -s 256M "$disks/log$number.img"
  echo "data$number log$number" >>"$disks/drives$id"
done <"$root/powercut/runs"
truncate -s 64M "$disks/vfat.img"
mkfs.vfat -F 32 -n TALETC "$disks/vfat.img" >/dev/null
echo vfat >>"$disks/drives$vfat_guest"

# start_guest ID: boots guest ID in the background; its pid in $started.
start_guest() {
  guest_id=$1
  truncate -s 256M "$disks/results$guest_id.img"
  drives=$(cat "$disks/drives$guest_id")
  set --
  for drive in $drives; do
    set -- "$@" -drive "if=none,id=$drive,file=$disks/$drive.img,format=raw,cache=unsafe" \
      -device "virtio-blk-pci,drive=$drive,serial=$drive"
  done
  set -- "$@" -drive "if=none,id=results,file=$disks/results$guest_id.img,format=raw,cache=unsafe" \
    -device "virtio-blk-pci,drive=results,serial=results"
  # The console goes to a file and nothing reads standard input: CI has none.
  # loglevel=1: the messages of hundreds of JFFS2, UBI and f2fs mounts and
  # unmounts, and of each erase an unmount cuts short, stay off the
  # emulated serial console, which each line slows.
  timeout 800 qemu-system-aarch64 -M virt -cpu cortex-a57 -smp 1 -m 1536 -display none \
    -monitor none -serial "file:$guest/console$guest_id.log" -nic none -no-reboot \
    -kernel "$kernel_image" -initrd "$guest/initramfs.cpio" \
    -append "console=ttyAMA0 quiet loglevel=1 panic=-1 rdinit=/init powercut.guest=$guest_id" "$@" \
    </dev/null >"$guest/qemu$guest_id.log" 2>&1 &
  started=$!
}
echo "$flash_sampling" | while read -r fs reorderings states; do
  say "$fs, in its guest: about $states states of the tool's run and $((states / 4)) of the" \
    "control's, from every Nth prefix and flush interval (seed $seed; check.out names N)," \
    "reorderings per interval: $reorderings, a store by the router's build on every" \
    "${store_every}th state"
done
say "booting $(basename "$kernel_image") under qemu-system-aarch64 -M virt -cpu cortex-a57, two guests"
qemu_began=$(date +%s.%N)
guests=""
trap '[ -z "$guests" ] || kill $guests 2>/dev/null || true' EXIT INT TERM
start_guest 1
guests=$started
start_guest 2
guests="$guests $started"
results=$build/results
rm -rf "$results"
mkdir -p "$results"
boot_seconds=""
id=0
for pid in $guests; do
  id=$((id + 1))
  qemu_status=0
  wait "$pid" || qemu_status=$?
  mkdir -p "$results/guest$id"
  tar -xf "$disks/results$id.img" -C "$results/guest$id" 2>/dev/null || {
    tail -n 30 "$guest/qemu$id.log" "$guest/console$id.log" >&2
    die "guest $id wrote no results (qemu exit status $qemu_status)"
  }
  if [ -s "$results/guest$id/failed" ]; then
    tail -n 30 "$guest/console$id.log" >&2
    die "in guest $id: $(cat "$results/guest$id/failed")"
  fi
  for run in $runs; do
    if [ -d "$results/guest$id/$run" ]; then
      mv "$results/guest$id/$run" "$results/$run"
      echo "$id" >"$results/$run/guest"
    fi
  done
  boot_seconds="$boot_seconds $(cat "$results/guest$id/boot-seconds") s"
done
guests=""
trap - EXIT INT TERM
guest_seconds=$(awk -v a="$qemu_began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
say "guest kernel $(cat "$results/guest1/kernel") (wrote the logs); this machine's $(uname -r) (mounts the sampled states)"
say "guests: $guest_seconds s from qemu start to the last power-off; kernel uptime at /init:$boot_seconds"
for id in 1 2; do
  [ ! -s "$results/guest$id/taint" ] ||
    say "guest $id, loading block2mtd:" \
      "$(sed 's/^\[[ 0-9.]*\] //' "$results/guest$id/taint" | tr '\n' '|' | sed 's/|$//; s/|/; /g')"
done

# --- What the guest saw: one log line per store, the stores' statuses -------
# stores: "<pid> <directory> <section> <status>" per store, in order.
for run in $runs; do
  stores=$results/$run/stores
  [ -s "$stores" ] || die "$run: no stores recorded"
  [ ! -s "$results/$run/errors" ] || die "$run: $(cat "$results/$run/errors")"
  total=$(wc -l <"$stores")
  [ "$total" -ge 20 ] || die "$run: only $total stores"
  syslog=$results/guest$(cat "$results/$run/guest")/syslog
  while read -r pid phase section status; do
    lines=$(grep -c "\[$pid\]: " "$syslog" || true)
    [ "$lines" = 1 ] || die "$run: store $pid ($phase, $section) has $lines log lines, not 1"
    [ "$status" = 0 ] ||
      die "$run: store $pid ($phase, $section) exited with status $status: $(grep "\[$pid\]: " "$syslog")"
  done <"$stores"
done
say "syslog: exactly one line per store, $(cat "$results"/*/stores | wc -l) stores"
# Every store, on each filesystem, must have leased the settings file: a
# store that could not would say so in its line.
unleased=$(cat "$results"/guest*/syslog | grep -c "could not be leased" || true)
[ "$unleased" = 0 ] || die "$unleased stores could not lease the settings file"
say "leases: every store, on each filesystem, leased the settings file"

# --- Stores on vfat: exit 0, the text in place, nothing left but the lock ----
vfat=$results/guest$vfat_guest/vfat
vfat_failures=0
vfat_fail() {
  echo "powercut: vfat: FAILED: $*" >&2
  vfat_failures=$((vfat_failures + 1))
}
[ ! -s "$vfat/errors" ] || vfat_fail "$(cat "$vfat/errors")"
for text in $vfat_texts; do
  record=$(grep " $text " "$vfat/stores" 2>/dev/null || true)
  if [ -z "$record" ]; then
    vfat_fail "no store of $text recorded"
    continue
  fi
  pid=${record%% *} status=${record##* }
  line=$(grep "\[$pid\]: " "$results/guest$vfat_guest/syslog" || true)
  say "vfat: store of $text exited with status $status; its log line:" \
    "$(echo "$line" | sed 's/^[A-Z][a-z]* *[0-9]* [0-9:]* [^ ]* //')"
  [ "$status" = 0 ] || vfat_fail "the store of $text exited with status $status"
  [ "$(echo "$line" | grep -c .)" = 1 ] || vfat_fail "the store of $text has not 1 log line"
  grep -qxF "MOD_TAL_OSPF_CONF=$(base64 -w 0 "$data/texts/$text")" "$vfat/settings-$text" ||
    vfat_fail "the text of $text is not in the settings file after its store"
  left=$(grep -v -e '^settings$' -e '^\.settings.*\.lock$' "$vfat/beside-$text" || true)
  [ -z "$left" ] ||
    vfat_fail "left beside the settings file after the store of $text: $(echo "$left" | tr '\n' ' ')"
done
[ "$vfat_failures" != 0 ] ||
  say "vfat: $(echo "$vfat_texts" | wc -w) stores exited 0, each text in place, nothing left but the lock"

# --- Replay and check, two runs at a time ------------------------------------
checks=$build/checks
rm -rf "$checks"
number=0
ext4_runs=""
for run in $runs; do
  number=$((number + 1))
  dir=$checks/$run
  case " $flash_runs " in
  *" $run "*)
    # Judged in its guest.
    mkdir -p "$dir"
    cp "$results/$run/check.out" "$results/$run/check.status" "$dir/" 2>/dev/null ||
      echo "no check.out from the guest" >"$dir/check.out"
    [ -f "$dir/check.status" ] || echo 2 >"$dir/check.status"
    continue
    ;;
  esac
  ext4_runs="$ext4_runs $run"
  mkdir -p "$dir/versions"
  mv "$disks/log$number.img" "$dir/log.img"
  ln "$data/base.img" "$dir/base.img"
  for phase in small acl large; do
    mkdir -p "$dir/versions/$phase"
    cp "$data/tree/$phase/tal/etc/settings" "$dir/versions/$phase/v0"
    if [ -d "$results/$run/versions/$phase" ]; then
      cp "$results/$run/versions/$phase"/v* "$dir/versions/$phase/" 2>/dev/null || true
    fi
  done
done
rm -rf "$disks"
say "ext4, here: every prefix and $samples reorderings per flush interval (seed $seed), a store" \
  "on every ${store_every}th state"
check_began=$(date +%s)
# One namespace for all checks: scratch images on a tmpfs of its own, and
# the loop mounts of the sampled stores never seen outside.
# The script below is expanded by the inner shell; $runs is one word per run.
# shellcheck disable=SC2016,SC2086
POWERCUT_TOOL=$top/build/tal-setconf POWERCUT_SANDBOX=$top/tests/sandbox.sh \
  unshare --mount --propagation private sh -eu -c '
  checks=$1 checker=$2 samples=$3 seed=$4 every=$5 script=$6
  shift 6
  mkdir -p "$checks/.work"
  mount -t tmpfs -o size=1g tmpfs "$checks/.work"
  trap "umount \"$checks/.work\" 2>/dev/null" EXIT
  check_all() {
    for run in "$@"; do
      mkdir -p "$checks/.work/$run"
      status=0
      "$checker" "$checks/$run" "$checks/.work/$run" "$samples" "$seed" "$every" "$script" \
        >"$checks/$run/check.out" 2>&1 || status=$?
      echo "$status" >"$checks/$run/check.status"
      rm -rf "${checks:?}/.work/$run"
    done
  }
  # Two queues that alternate the runs, so each gets as much of the large ones.
  first="" second="" turn=0
  for run in "$@"; do
    if [ "$turn" = 0 ]; then first="$first $run"; turn=1; else second="$second $run"; turn=0; fi
  done
  # shellcheck disable=SC2086
  check_all $first &
  # shellcheck disable=SC2086
  check_all $second
  wait
' powercut-check "$checks" "$top/build/tests/powercut_check" "$samples" "$seed" "$store_every" \
  "$top/tests/powercut/store_on_image.sh" $ext4_runs  # one word per run
check_seconds=$(($(date +%s) - check_began))

# --- Figures -------------------------------------------------------------------
field() {
  value=$(sed -n "s/^result.* $1=\([0-9]*\).*/\1/p" "$checks/$2/check.out")
  echo "${value:-0}"
}
# filesystem_of RUN: the name its line of figures goes under.
filesystem_of() {
  case $1 in
  ordered-*) echo ext4 ;;
  writeback-*) echo ext4-writeback ;;
  noauto_da_alloc-*) echo ext4-noauto_da_alloc ;;
  *) echo "${1%%-*}" ;;
  esac
}
failed=""
printf '%-34s %9s %11s %7s %5s  %s\n' run prefixes reorderings stored bad \
  "bad by kind (filesystem torn stale attributes directory store)"
for run in $runs; do
  out=$checks/$run/check.out
  if ! grep -q "^result " "$out"; then
    cat "$out" >&2
    failed="$failed $run"
    continue
  fi
  printf '%-34s %9s %11s %7s %5s  %s %s %s %s %s %s\n' "$run" "$(field prefixes "$run")" \
    "$(field reorderings "$run")" "$(field stored "$run")" "$(field bad "$run")" \
    "$(field filesystem "$run")" "$(field torn "$run")" "$(field stale "$run")" \
    "$(field attributes "$run")" "$(field directory "$run")" "$(field store "$run")"
  case $run in
  *-naive) grep -m 1 "^bad state (torn)" "$out" | sed "s/^/  for example: /" || true ;;
  *) [ "$(cat "$checks/$run/check.status")" = 0 ] || grep "^bad state" "$out" >&2 || true ;;
  esac
done
say "checks here took $check_seconds s; guests $guest_seconds s (workloads, and the checks of" \
  "f2fs, JFFS2 and UBIFS); whole stage $(elapsed) s"
# Checks, each told when it fails, then counted: per filesystem, no bad
# state of the tool and a control that found torn or empty files; on ext4
# the control counts over its three variants together, since data=ordered
# flushes a file rewritten in place before its rename or truncate commits
# (auto_da_alloc) and leaves it stale, never torn. Then the stores on vfat.
passed_checks=0
failed_checks=0
pass_check() { passed_checks=$((passed_checks + 1)); }
fail_check() {
  echo "powercut: FAILED: $*" >&2
  failed_checks=$((failed_checks + 1))
}
[ -z "$failed" ] || fail_check "the check could not run for:$failed"
ext4_torn=0
for fs in ext4 ext4-writeback ext4-noauto_da_alloc f2fs jffs2 ubifs; do
  states=0 bad=0 torn=0
  for run in $runs; do
    [ "$(filesystem_of "$run")" = "$fs" ] || continue
    case $run in
    *-naive) torn=$((torn + $(field torn "$run"))) ;;
    *)
      states=$((states + $(field prefixes "$run") + $(field reorderings "$run")))
      bad=$((bad + $(field bad "$run")))
      ;;
    esac
  done
  echo "powercut $fs: $states states, $bad bad; control: $torn torn or empty"
  if [ "$bad" = 0 ] && [ "$states" -gt 0 ]; then
    pass_check
  else
    fail_check "$fs: $bad bad states of the tool in $states judged (logs kept in $checks)"
  fi
  case $fs in
  ext4*) ext4_torn=$((ext4_torn + torn)) ;;
  *)
    if [ "$torn" -gt 0 ]; then
      pass_check
    else
      fail_check "$fs: the negative control found no torn or empty file: the check proves nothing"
    fi
    ;;
  esac
done
if [ "$ext4_torn" -gt 0 ]; then
  pass_check
else
  fail_check "ext4: the negative control found no torn or empty file in any variant"
fi
if [ "$vfat_failures" = 0 ]; then
  pass_check
else
  fail_check "stores into /opt/tal/etc on vfat (default mount options) failed, as the vfat lines above say"
fi
say "$passed_checks passed, $failed_checks failed"
[ "$failed_checks" = 0 ] || exit 1
