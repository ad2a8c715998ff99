#!/bin/sh
# Boots a recovered disk state as far as the tool cares: mounts the image in
# a private mount namespace and stores a new text into one of its settings
# files (each phase's tree on the image, <phase>/tal/etc/settings, is the
# /opt of a router) with the tool built for this machine, through
# tests/sandbox.sh.
# The store must exit 0, leave nothing beside the settings file but the lock,
# and the file must hold the text.
#
# usage: store_on_image.sh IMAGE NUMBER
#   NUMBER picks the settings directory, in turn.
#   POWERCUT_TOOL     the tool (this machine's build)
#   POWERCUT_SANDBOX  tests/sandbox.sh
set -eu
image=$1
work=$(cd "$(dirname "$image")" && pwd)/store
rm -rf "$work"
mkdir -p "$work/mnt"
printf 'router ospf\n network 192.0.2.0/24 area 0\n passive-interface eth%s\n' "$2" >"$work/text"
# The script below is expanded by the inner shell.
# shellcheck disable=SC2016
exec unshare --mount --propagation private sh -eu -c '
  image=$1 work=$2 number=$3
  . "$(dirname "$POWERCUT_SANDBOX")/device_root.sh"
  # The loop device goes with the last unmount (autoclear); the trap
  # unmounts on every way out.
  root=$work/root
  trap "umount \"$root/opt\" 2>/dev/null; umount \"$work/mnt\" 2>/dev/null" EXIT
  mount -o loop "$image" "$work/mnt"
  set -- $(ls "$work/mnt" | grep -v -e "^lost+found\$" -e "^var\$")
  shift $((number % $#))
  phase=$1
  device_root_layout "$root" "$POWERCUT_TOOL" ospf
  # sandbox.sh binds ROOT/opt over /opt without its submounts: the phase
  # tree must be ROOT/opt itself.
  mount --bind "$work/mnt/$phase" "$root/opt"
  status=0
  sh "$POWERCUT_SANDBOX" "$root" bin/tal-setconf-ospf "$work/text" || status=$?
  if [ "$status" != 0 ]; then
    echo "/$phase/tal/etc: the store exited with status $status"
    exit 1
  fi
  left=$(ls -A "$root/opt/tal/etc" | grep -v -e "^settings\$" -e "^\.settings.*\.lock\$" || true)
  if [ -n "$left" ]; then
    echo "/$phase/tal/etc: left beside the settings file:" $left
    exit 1
  fi
  if ! grep -qx "MOD_TAL_OSPF_CONF=$(base64 -w 0 "$work/text")" "$root/opt/tal/etc/settings"; then
    echo "/$phase/tal/etc: the stored text is not in the settings file"
    exit 1
  fi
' store_on_image "$image" "$work" "$2"
