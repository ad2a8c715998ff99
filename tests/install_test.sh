#!/bin/sh
# Builds the Debian package (scripts/package.sh), unpacks it into a scratch
# root (dpkg -x) and stores a section through an installed link, in the
# sandbox.
# usage: install_test.sh BUILD_DIR SANDBOX [EMULATOR]
set -eu
build=$1
sandbox=$2
emulator=${3:-}
# shellcheck source=tests/device_root.sh
. "$(dirname "$0")/device_root.sh"
require_sandbox
scratch=$(new_scratch "$build/tests/scratch" install)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

deb=$(sh "$(dirname "$0")/../scripts/package.sh" "$build" "$scratch/pkg")
echo "package: $(basename "$deb")"
dpkg-deb -f "$deb" Architecture
root="$scratch/root"
dpkg -x "$deb" "$root"
[ -x "$root/usr/bin/tal-setconf" ] || fail "no usr/bin/tal-setconf"
for section in global vrf1 vrf2 vrf3 vrf mpls pim_sm; do
  [ "$(readlink "$root/usr/bin/tal-setconf-$section")" = tal-setconf ] ||
    fail "no link tal-setconf-$section"
done
[ -f "$root/usr/share/man/man1/tal-setconf.1.gz" ] || fail "no man page"
[ "$(readlink "$root/usr/share/man/man1/tal-setconf-pim_sm.1.gz")" = tal-setconf.1.gz ] ||
  fail "no man page for tal-setconf-pim_sm"
[ -f "$root/usr/share/doc/tal-setconf/copyright" ] || fail "no copyright file"

device_root_layout "$root"
printf 'A=1\nMOD_TAL_PIM_SM_CONF=b2xk\nB=2\n' > "$root/opt/tal/etc/settings"
printf 'x' > "$root/in.txt"
# shellcheck disable=SC2086
sh "$sandbox" "$root" $emulator ./usr/bin/tal-setconf-pim_sm ./in.txt || fail "exit status $?"
settings="$root/opt/tal/etc/settings"
[ "$(head -n 2 "$settings")" = "A=1
MOD_TAL_PIM_SM_ENABLED=0" ] || fail "block not in place"
[ "$(tail -n 2 "$settings")" = "MOD_TAL_PIM_SM_CONF=eA==
B=2" ] || fail "text not stored"
[ "$(wc -l < "$settings")" = 60 ] || fail "$(wc -l < "$settings") lines"
echo "installed tal-setconf-pim_sm stored its section"
