#!/bin/sh
# Boots a recovered flash state as far as the tool cares, in the power-cut
# guest: with the state mounted at DIR by the guest's kernel, one of its
# settings directories (each phase's tree, <phase>/tal/etc, is the /opt of a
# router) is bound over /opt and takes a store into ospf by the router's
# build of the tool. The store must exit 0, leave nothing beside the
# settings file but the lock, and the file must hold the text.
# (store_on_image.sh does the same for ext4 states, on this machine.)
#
# usage: store_on_state.sh DIR NUMBER
#   NUMBER picks the settings directory, in turn.
set -u
dir=$1 number=$2
phases=$(find "$dir" -mindepth 1 -maxdepth 1 -type d ! -name var ! -name lost+found | sort)
phase=$(echo "$phases" | sed -n "$((number % $(echo "$phases" | wc -l) + 1))p")
phase=${phase##*/}
text=/tmp/store-on-state.text
printf 'router ospf\n network 192.0.2.0/24 area 0\n passive-interface eth%s\n' "$number" >"$text"
# The stand-in hash tool keeps each version it sees: here under a run of
# its own, removed after the store.
echo state-store >/run/powercut-run
echo "$phase" >/run/powercut-phase
mkdir -p "/results/state-store/versions/$phase"
mount --bind "$dir/$phase" /opt || exit 1
/bin/tal-setconf-ospf "$text"
status=$?
left=$(find /opt/tal/etc -mindepth 1 -maxdepth 1 ! -name settings ! -name '.settings*.lock')
grep -qx "MOD_TAL_OSPF_CONF=$(base64 -w 0 "$text")" /opt/tal/etc/settings
found=$?
umount /opt
rm -rf /results/state-store "$text"
if [ "$status" != 0 ]; then
  echo "/$phase/tal/etc: the store exited with status $status"
  exit 1
fi
if [ -n "$left" ]; then
  echo "/$phase/tal/etc: left beside the settings file:" "$left"
  exit 1
fi
if [ "$found" != 0 ]; then
  echo "/$phase/tal/etc: the stored text is not in the settings file"
  exit 1
fi
