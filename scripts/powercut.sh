#!/bin/sh
# Power-cut proof: runs stores of the router's build of tal-setconf on
# Debian's arm64 kernel under qemu-system-aarch64, with the settings disk
# under the kernel's log-writes target, then replays the log on this machine
# and checks every disk state a power cut could leave (tests/powercut/).
#
# One guest boot runs nine workloads, each on its own data and log disk:
# three ext4 variants (data=ordered, data=writeback, noauto_da_alloc) times
# three writers (the tool with BusyBox's cp, the tool with a cp that
# recreates its destination, and a naive writer as the negative control).
# One guest also stores into a settings directory on vfat mounted with its
# defaults, without log-writes: each store must exit 0 and leave its text in
# place (tests/powercut/vfat_stores.sh).
#
# usage: scripts/powercut.sh   (root; everything it writes is under
#                               build-powercut/, downloads cached there)
#   POWERCUT_SAMPLES  reorderings tried per flush interval (default 16)
#   POWERCUT_SEED     seed of the reorderings (default: the time, printed)
# Exit status 0 only when no state of the tool is bad, the control found
# torn or empty files and the stores on vfat worked; the line
# "powercut: N passed, N failed" counts these checks.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
began=$(date +%s)
samples=${POWERCUT_SAMPLES:-16}
seed=${POWERCUT_SEED:-$began}
store_every=10
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
  g++ libgtest-dev acl attr util-linux coreutils dosfstools
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
if [ -z "$kernel_deb" ] || [ -z "$busybox_deb" ]; then
  setup_apt
  apt_arm64 apt-get update -qq
  # linux-image-arm64 is a metapackage: the kernel is the package it depends on.
  kernel_package=$(apt_arm64 apt-cache depends linux-image-arm64 |
    sed -n 's/^ *Depends: \(linux-image-[0-9].*-arm64\)$/\1/p' | head -n 1)
  [ -n "$kernel_package" ] || die "linux-image-arm64 names no kernel package"
  # apt warns that root, not _apt, downloads into a directory of root's.
  (
    cd "$cache/debs"
    apt_arm64 apt-get download -q "$kernel_package" busybox-static 2>&1 | grep -v "unsandboxed"
  ) || true
  kernel_deb=$(cached "${kernel_package}_*_arm64.deb")
  busybox_deb=$(cached 'busybox-static_*_arm64.deb')
  if [ -z "$kernel_deb" ] || [ -z "$busybox_deb" ]; then
    die "the arm64 packages were not downloaded"
  fi
  say "downloaded after $(elapsed) s"
else
  say "arm64 packages from the cache ($cache/debs), nothing downloaded"
fi
say "guest kernel package: $(dpkg-deb -f "$kernel_deb" Package) $(dpkg-deb -f "$kernel_deb" Version)"
say "busybox-static $(dpkg-deb -f "$busybox_deb" Version)"

# --- Builds ----------------------------------------------------------------
cmake --preset aarch64-package >/dev/null
cmake --build --preset aarch64-package --target tal-setconf >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native --target tal-setconf powercut_check >/dev/null
guest_bin=$build/guest-bin
mkdir -p "$guest_bin"
aarch64-linux-gnu-g++ -std=c++20 -O2 -static -Wall -Wextra -Werror -I src \
  -o "$guest_bin/log_writes_ctl" tests/powercut/log_writes_ctl.cpp
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

# --- The guest ---------------------------------------------------------------
guest=$build/guest
rm -rf "$guest"
mkdir -p "$guest/kernel" "$guest/busybox" "$guest/root"
dpkg-deb -x "$kernel_deb" "$guest/kernel"
dpkg-deb -x "$busybox_deb" "$guest/busybox"
kernel_image=$(ls "$guest"/kernel/boot/vmlinuz-*)
modules_dir=$(ls -d "$guest"/kernel/lib/modules/*)
root=$guest/root
mkdir -p "$root/bin" "$root/sbin" "$root/lib/modules" "$root/dev" "$root/proc" "$root/sys" \
  "$root/tmp" "$root/run" "$root/mnt" "$root/opt" "$root/results" "$root/powercut"
cp "$guest/busybox/bin/busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
# dm-mod needs dax; the rest is the order their symbols need. vfat mounts
# with the kernel's default code page 437 and character set ascii.
for module in virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_blk crc16 \
  crc32c_generic mbcache jbd2 ext4 dax dm-mod dm-log-writes fat vfat nls_cp437 nls_ascii; do
  file=$(find "$modules_dir" -name "$module.ko" -o -name "$module.ko.xz" | head -n 1)
  [ -n "$file" ] || die "no module $module in $(basename "$kernel_deb")"
  case $file in
  *.xz) xz -dc "$file" >"$root/lib/modules/$module.ko" ;;
  *) cp "$file" "$root/lib/modules/$module.ko" ;;
  esac
  echo "$module" >>"$root/powercut/modules"
done
cp build-aarch64-package/tal-setconf "$root/bin/tal-setconf"
for section in pim_sm ospf ospf6 bgp rip; do
  ln -s tal-setconf "$root/bin/tal-setconf-$section"
done
cp "$guest_bin/log_writes_ctl" "$root/bin/log_writes_ctl"
cp tests/powercut/guest_init.sh "$root/init"
cp tests/powercut/hash_generate.sh "$root/sbin/hash_generate"
cp tests/powercut/workload.sh tests/powercut/naive_store.sh tests/powercut/recreating_cp.sh \
  tests/powercut/vfat_stores.sh "$root/powercut/"
chmod 755 "$root/init" "$root/sbin/hash_generate"
cp -r "$data/texts" "$root/powercut/texts"
# Guest 1, with four runs to the other's five, also stores these texts into
# a copy of the small settings file on vfat.
vfat_guest=1
vfat_texts="t02 t06 t09"
echo "$vfat_guest $vfat_texts" >"$root/powercut/vfat"
cp "$data/tree/small/tal/etc/settings" "$root/powercut/settings.vfat"

# Two guests, one per core, take the runs in turn; each run's disks have
# serial numbers of their own.
runs=""
number=0
for variant in ordered:data=ordered writeback:data=writeback noauto_da_alloc:noauto_da_alloc; do
  for writer in tool:busybox tool:recreating naive:busybox; do
    number=$((number + 1))
    name=${variant%%:*}-${writer%%:*}-${writer#*:}
    [ "${writer%%:*}" = naive ] && name=${variant%%:*}-naive
    echo "$((number % 2 + 1)) $number $name ${variant#*:} ${writer%%:*} ${writer#*:}" \
      >>"$root/powercut/runs"
    runs="$runs $name"
  done
done
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$guest/initramfs.cpio"

disks=$build/disks
rm -rf "$disks"
mkdir -p "$disks"
while read -r id number name rest; do
  cp --sparse=always "$data/base.img" "$disks/data$number.img"
  truncate -s 128M "$disks/log$number.img"
  echo "data$number log$number" >>"$disks/drives$id"
done <"$root/powercut/runs"
truncate -s 64M "$disks/vfat.img"
mkfs.vfat -F 32 -n TALETC "$disks/vfat.img" >/dev/null
echo vfat >>"$disks/drives$vfat_guest"

# start_guest ID: boots guest ID in the background; its pid in $started.
start_guest() {
  guest_id=$1
  truncate -s 64M "$disks/results$guest_id.img"
  drives=$(cat "$disks/drives$guest_id")
  set --
  for drive in $drives; do
    set -- "$@" -drive "if=none,id=$drive,file=$disks/$drive.img,format=raw,cache=unsafe" \
      -device "virtio-blk-pci,drive=$drive,serial=$drive"
  done
  set -- "$@" -drive "if=none,id=results,file=$disks/results$guest_id.img,format=raw,cache=unsafe" \
    -device "virtio-blk-pci,drive=results,serial=results"
  # The console goes to a file and nothing reads standard input: CI has none.
  timeout 300 qemu-system-aarch64 -M virt -cpu cortex-a57 -smp 1 -m 768 -display none \
    -monitor none -serial "file:$guest/console$guest_id.log" -nic none -no-reboot \
    -kernel "$kernel_image" -initrd "$guest/initramfs.cpio" \
    -append "console=ttyAMA0 quiet panic=-1 rdinit=/init powercut.guest=$guest_id" "$@" \
    </dev/null >"$guest/qemu$guest_id.log" 2>&1 &
  started=$!
}
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
# Every store, on ext4 and on vfat, must have leased the settings file: a
# store that could not would say so in its line.
unleased=$(cat "$results"/guest*/syslog | grep -c "could not be leased" || true)
[ "$unleased" = 0 ] || die "$unleased stores could not lease the settings file"
say "leases: every store on ext4 and vfat leased the settings file"

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
for run in $runs; do
  number=$((number + 1))
  dir=$checks/$run
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
say "checking every prefix and $samples reorderings per flush interval (seed $seed), a store on" \
  "every ${store_every}th state"
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
  "$top/tests/powercut/store_on_image.sh" $runs  # one word per run
check_seconds=$(($(date +%s) - check_began))

# --- Figures -------------------------------------------------------------------
field() {
  value=$(sed -n "s/^result.* $1=\([0-9]*\).*/\1/p" "$checks/$2/check.out")
  echo "${value:-0}"
}
tool_bad=0
control_torn=0
failed=""
printf '%-34s %9s %11s %7s %5s  %s\n' run prefixes reorderings stored bad \
  "bad by kind (filesystem torn stale attributes directory store)"
for run in $runs; do
  out=$checks/$run/check.out
  status=$(cat "$checks/$run/check.status")
  if ! grep -q "^result " "$out"; then
    cat "$out" >&2
    failed="$failed $run"
    continue
  fi
  bad=$(field bad "$run")
  printf '%-34s %9s %11s %7s %5s  %s %s %s %s %s %s\n' "$run" "$(field prefixes "$run")" \
    "$(field reorderings "$run")" "$(field stored "$run")" "$bad" "$(field filesystem "$run")" \
    "$(field torn "$run")" "$(field stale "$run")" "$(field attributes "$run")" \
    "$(field directory "$run")" "$(field store "$run")"
  case $run in
  *-naive)
    control_torn=$((control_torn + $(field torn "$run")))
    grep -m 1 "^bad state (torn)" "$out" | sed "s/^/  for example: /" || true
    ;;
  *)
    tool_bad=$((tool_bad + bad))
    if [ "$status" != 0 ]; then
      grep "^bad state" "$out" >&2 || true
    fi
    ;;
  esac
done
for variant in ordered writeback noauto_da_alloc; do
  prefixes=0 reorderings=0
  for run in $runs; do
    case $run in
    "$variant"-tool-*)
      prefixes=$((prefixes + $(field prefixes "$run")))
      reorderings=$((reorderings + $(field reorderings "$run")))
      ;;
    esac
  done
  say "$variant: the tool's states checked: $prefixes prefixes, $reorderings reorderings"
done
say "bad states of the tool: $tool_bad"
say "torn or empty settings files the negative control left: $control_torn"
say "checks took $check_seconds s; guest $guest_seconds s; whole stage $(elapsed) s"
# Four checks, each told when it fails, then counted.
failed_checks=0
fail_check() {
  echo "powercut: FAILED: $*" >&2
  failed_checks=$((failed_checks + 1))
}
[ -z "$failed" ] || fail_check "the check could not run for:$failed"
[ "$tool_bad" = 0 ] || fail_check "$tool_bad bad states of the tool (logs kept in $checks)"
[ "$control_torn" -gt 0 ] ||
  fail_check "the negative control found no torn or empty file: the check proves nothing"
[ "$vfat_failures" = 0 ] ||
  fail_check "stores into /opt/tal/etc on vfat (default mount options) failed, as the vfat lines above say"
say "$((4 - failed_checks)) passed, $failed_checks failed"
[ "$failed_checks" = 0 ] || exit 1
say "passed"
