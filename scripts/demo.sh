#!/bin/sh
# Builds tal-setconf and stores a configuration into the pim_sm section of a
# sample settings file in a throwaway directory. The binary's paths are
# fixed (/opt/tal/etc/settings, /tmp, /sbin), so it runs in a private mount
# namespace over the throwaway directory (tests/sandbox.sh): this machine's
# own /opt, /tmp and /sbin are never touched. Needs root.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
sh "$top/scripts/install-deps.sh" cmake g++ make util-linux coreutils
cmake -S "$top" -B "$top/build-demo" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$top/build-demo" -j2 --target tal-setconf >/dev/null

root=$(mktemp -d /tmp/tal-setconf-demo.XXXXXX)
trap 'rm -rf "$root"' EXIT
# shellcheck source=tests/device_root.sh
. "$top/tests/device_root.sh"
device_root_layout "$root" "$top/build-demo/tal-setconf" pim_sm
cat > "$root/opt/tal/etc/settings" <<'SETTINGS'
MOD_TAL_GLOBAL_ENABLED=1
MOD_TAL_GLOBAL_LOG_LEVEL=info
MOD_TAL_PIM_SM_ENABLED=1
MOD_TAL_PIM_SM_RP_ADDR=10.0.0.1
MOD_TAL_PIM_SM_IFACE0_ENABLED=1
MOD_TAL_PIM_SM_IFACE0_NAME=eth0
MOD_TAL_PIM_SM_CONF=b2xkIGNvbmZpZwo=
MOD_TAL_VRF1_NAME="blue vrf"
SETTINGS
cat > "$root/new.conf" <<'CONF'
ip pim rp-address 10.0.0.1 224.0.0.0/4
ip pim spt-switchover infinity-and-beyond
CONF

echo "== settings before =="
cat "$root/opt/tal/etc/settings"
status=0
sh "$top/tests/sandbox.sh" "$root" ./bin/tal-setconf-pim_sm ./new.conf || status=$?
echo "== tal-setconf-pim_sm new.conf: exit status $status =="
echo "== settings after: the whole pim_sm section in place, other lines kept =="
cat "$root/opt/tal/etc/settings"
echo "== stored MOD_TAL_PIM_SM_CONF, decoded =="
sed -n 's/^MOD_TAL_PIM_SM_CONF=//p' "$root/opt/tal/etc/settings" | base64 -d
exit "$status"
