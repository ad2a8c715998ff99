#!/bin/sh
# Writes a settings file of about SIZE bytes: lines of other sections, with
# every key of the pim_sm section and of the generic section ospf spread
# evenly through them. With LINE, each line of the other sections is LINE
# bytes long with its line feed (at least its key and a short value);
# without it they are of 40 to 48 bytes.
# usage: make_settings.sh SIZE [LINE] > settings
set -eu
size=$1
line_length=${2:-0}
awk -v size="$size" -v line_length="$line_length" 'BEGIN {
  n = 0
  keys[n++] = "MOD_TAL_PIM_SM_ENABLED=1"
  keys[n++] = "MOD_TAL_PIM_SM_RP_ADDR=10.0.0.1"
  keys[n++] = "MOD_TAL_PIM_SM_BSR_ENABLED=1"
  keys[n++] = "MOD_TAL_PIM_SM_BSR_BSR_ENABLED=0"
  keys[n++] = "MOD_TAL_PIM_SM_BSR_RP_ENABLED=1"
  keys[n++] = "MOD_TAL_PIM_SM_BSR_ADVERTISED_GROUP=224.0.0.0/4"
  keys[n++] = "MOD_TAL_PIM_SM_BSR_RP_PRIORITY=10"
  keys[n++] = "MOD_TAL_PIM_SM_BSR_PRIORITY=20"
  keys[n++] = "MOD_TAL_PIM_SM_USE_RAW_CFG=0"
  for (i = 0; i < 12; i++) {
    keys[n++] = "MOD_TAL_PIM_SM_IFACE" i "_ENABLED=1"
    keys[n++] = "MOD_TAL_PIM_SM_IFACE" i "_NAME=eth" i
    keys[n++] = "MOD_TAL_PIM_SM_IFACE" i "_DR_PRIORITY=" i
    keys[n++] = "MOD_TAL_PIM_SM_IFACE" i "_PASSIVE=0"
  }
  keys[n++] = "MOD_TAL_PIM_SM_CONF=aXAgcGltIHJwIDEwLjAuMC4xCg=="
  keys[n++] = "MOD_TAL_OSPF_ENABLED=1"
  keys[n++] = "MOD_TAL_OSPF_CONF=cm91dGVyIG9zcGYK"
  filler_lines = int(size / (line_length > 0 ? line_length : 48))
  every = int(filler_lines / n); if (every < 1) every = 1
  written = 0; k = 0; i = 0
  while (written < size) {
    if (i % every == 0 && k < n) { line = keys[k++] }
    else if (line_length > 0) {
      line = sprintf("MOD_TAL_BGP_N%d=10.%d.%d.1", i, i % 250, i % 199)
      while (length(line) < line_length - 1) line = line "0"
    }
    else { line = sprintf("MOD_TAL_BGP_NEIGHBOR%d=\"10.%d.%d.1 as 65%03d\"", i, i % 250, i % 199, i % 1000) }
    print line; written += length(line) + 1; i++
  }
  while (k < n) print keys[k++]
}'
