#!/bin/sh
# Builds tal-setconf and stores a configuration into the pim_sm section of a
# sample settings file in a throwaway directory. The binary's paths are
# fixed (/opt/tal/etc/settings, /tmp, /sbin), so it runs in a private mount
# namespace over the throwaway directory (tests/sandbox.sh): this machine's
# own /opt, /tmp and /sbin are never touched. The line the store sends to the
# system log goes to a listener of the demo's own (a datagram socket in the
# throwaway directory, which the sandbox puts at /dev/log), never to this
# machine's log. Needs root.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
# What the demo needs, checked before anything that could look like a result.
if [ "$(id -u)" != 0 ]; then
  echo "demo: needs root (it installs packages and mounts a private view of /opt, /sbin, /tmp)" >&2
  exit 1
fi
if ! unshare --mount --propagation private true 2>/dev/null; then
  echo "demo: needs CAP_SYS_ADMIN for a private mount namespace (unshare -m), which this" \
    "root lacks (a container without it?): nothing was run" >&2
  exit 1
fi
sh "$top/scripts/install-deps.sh" cmake g++ make util-linux coreutils netcat-openbsd
cmake -S "$top" -B "$top/build-demo" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$top/build-demo" -j2 --target tal-setconf >/dev/null

root=$(mktemp -d /tmp/tal-setconf-demo.XXXXXX)
listener=""
# The listener is stopped and the directory removed however the demo ends:
# a signal ends the script through exit, which runs the EXIT trap.
cleanup() {
  if [ -n "$listener" ]; then
    kill "$listener" 2>/dev/null || true
    wait "$listener" 2>/dev/null || true
  fi
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
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

# The demo's system log: a datagram socket that nc (netcat-openbsd) reads,
# writing what arrives to log.received; -d: it reads nothing from stdin.
nc.openbsd -dlkuU "$root/log.sock" > "$root/log.received" 2> "$root/log.errors" < /dev/null &
listener=$!
waited=0
until [ -S "$root/log.sock" ]; do
  if [ "$waited" -ge 50 ] || ! kill -0 "$listener" 2>/dev/null; then
    echo "demo: the log listener (nc.openbsd -dlkuU $root/log.sock) did not start:" \
      "$(cat "$root/log.errors")" >&2
    exit 1
  fi
  sleep 0.1
  waited=$((waited + 1))
done
# log_line: prints the one datagram the store sent, once nc has written it
# (the store sent it before it exited; nc may still be at it), or fails after 5 s.
log_line() {
  waited=0
  while [ ! -s "$root/log.received" ] && [ "$waited" -lt 50 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  [ -s "$root/log.received" ] || return 1
  cat "$root/log.received"
  echo  # a datagram carries no line feed of its own
}

cp "$root/opt/tal/etc/settings" "$root/settings.before"
status=0
SANDBOX_LOG=log.sock sh "$top/tests/sandbox.sh" "$root" ./bin/tal-setconf-pim_sm ./new.conf ||
  status=$?
if [ "$status" != 0 ]; then
  echo "demo: tal-setconf-pim_sm new.conf exited with status $status; the line it sent to the log:" >&2
  log_line >&2 || echo "(none arrived)" >&2
  exit 1
fi
echo "== settings before =="
cat "$root/settings.before"
echo "== tal-setconf-pim_sm new.conf: exit status 0 =="
echo "== settings after: the whole pim_sm section in place, other lines kept =="
cat "$root/opt/tal/etc/settings"
echo "== stored MOD_TAL_PIM_SM_CONF, decoded =="
sed -n 's/^MOD_TAL_PIM_SM_CONF=//p' "$root/opt/tal/etc/settings" | base64 -d
echo "== the line the store sent to the system log =="
if ! log_line; then
  echo "demo: no line reached the demo's log listener within 5 s" >&2
  exit 1
fi
