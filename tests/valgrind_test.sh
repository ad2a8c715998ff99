#!/bin/sh
# One end-to-end run of the real binary under valgrind's memcheck, in the
# sandbox: no invalid read or write, no definitely lost block.
# usage: valgrind_test.sh TAL_SETCONF SANDBOX SCRATCH_BASE
set -eu
binary=$1
sandbox=$2
# shellcheck source=tests/device_root.sh
. "$(dirname "$0")/device_root.sh"
require_sandbox
root=$(new_scratch "$3" valgrind)
trap 'rm -rf "$root"' EXIT
device_root_layout "$root" "$binary" pim_sm
{
  printf 'A=1\r\nMOD_TAL_PIM_SM_ENABLED=5\nmod_tal_pim_sm_rp_addr="10.0.0.1 x"\n# comment\n'
  printf 'MOD_TAL_PIM_SM_IFACE3_NAME=eth3\nMOD_TAL_PIM_SM_CONF=b2xk\nLONG=%s\nZ=2' "$(head -c 40000 /dev/zero | tr '\0' v)"
} > "$root/opt/tal/etc/settings"
printf 'ip pim rp-address 10.0.0.1\n' > "$root/in.txt"
sh "$sandbox" "$root" valgrind -q --error-exitcode=1 --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  ./bin/tal-setconf-pim_sm ./in.txt
grep -q '^MOD_TAL_PIM_SM_CONF=aXAgcGltIHJwLWFkZHJlc3MgMTAuMC4wLjEK$' "$root/opt/tal/etc/settings"
echo "memcheck: clean run, section stored"
