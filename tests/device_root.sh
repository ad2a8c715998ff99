#!/bin/sh
# Shell helpers (sourced) for running the real binary in tests/sandbox.sh.

# True when this machine gives a private mount namespace (root).
sandbox_available() {
  [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null
}

# require_sandbox: ends the script with ctest's skip status (77) and the
# reason, worded as the C++ tests word it, when there is no sandbox here.
require_sandbox() {
  sandbox_available && return 0
  echo "Skipped: needs root with CAP_SYS_ADMIN for a private mount namespace (unshare -m)"
  exit 77
}

# new_scratch BASE NAME: makes and prints a new directory under BASE; the
# caller removes it.
new_scratch() {
  mkdir -p "$1"
  mktemp -d "$1/$2.XXXXXX"
}

# device_root_layout ROOT [BINARY [SECTION...]]
# Lays out the directories the sandbox mounts (opt/tal/etc, sbin, a sticky
# world-writable tmp) and bin/; copies BINARY to bin/tal-setconf with a link
# tal-setconf-SECTION for each SECTION.
device_root_layout() {
  layout_root=$1
  shift
  mkdir -p "$layout_root/opt/tal/etc" "$layout_root/sbin" "$layout_root/tmp" "$layout_root/bin"
  chmod 1777 "$layout_root/tmp"
  [ $# -gt 0 ] || return 0
  cp "$1" "$layout_root/bin/tal-setconf"
  shift
  for layout_section in "$@"; do
    ln -s tal-setconf "$layout_root/bin/tal-setconf-$layout_section"
  done
}
