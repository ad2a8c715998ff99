#!/bin/sh
# Runs a command as the device sees its files, without touching this
# machine's: in a private mount namespace, /opt, /sbin and /tmp are replaced
# by ROOT/opt, ROOT/sbin and ROOT/tmp, so a binary with fixed paths works on
# the files of ROOT. Needs root (or a user namespace with CAP_SYS_ADMIN).
#
# usage: sandbox.sh ROOT COMMAND [ARG...]
#   COMMAND is resolved from ROOT when relative (ROOT may lie under /tmp).
#   SANDBOX_ETC=ro           /opt/tal/etc is mounted read-only
#   SANDBOX_ETC_IMAGE=FILE   /opt/tal/etc is the filesystem image FILE (relative
#                            to ROOT), loop-mounted with SANDBOX_ETC_IMAGE_OPTIONS
#   SANDBOX_OPT_SIZE=SIZE    /opt is a tmpfs of SIZE holding a copy of ROOT/opt;
#                            after COMMAND its tal/etc is copied to ROOT/opt-after
#   SANDBOX_TMP_SIZE=SIZE    /tmp is an empty tmpfs of SIZE
#   SANDBOX_CP=FILE          FILE (relative to ROOT) stands in for /bin/cp
#   SANDBOX_LOG=SOCKET       SOCKET (relative to ROOT) is /dev/log
# /dev is always a small tmpfs with null, zero, urandom, the std* links and,
# only with SANDBOX_LOG, a log socket: the host's /dev/log is never reached.
# Exit status: COMMAND's, or 77 when no mount namespace can be had.
set -eu
[ $# -ge 2 ] || { echo "usage: sandbox.sh ROOT COMMAND [ARG...]" >&2; exit 64; }
root=$1
shift
unshare --mount --propagation private true 2>/dev/null || {
  echo "sandbox: needs root with CAP_SYS_ADMIN for a private mount namespace (unshare -m)" >&2
  exit 77
}
# The script below is expanded by the inner shell, not this one.
# shellcheck disable=SC2016
exec unshare --mount --propagation private /bin/sh -eu -c '
  cd "$1"; shift
  # cwd keeps ROOT reachable after mounts hide the path it was reached by.
  if [ -n "${SANDBOX_OPT_SIZE:-}" ]; then
    mount -t tmpfs -o "size=$SANDBOX_OPT_SIZE" tmpfs /opt
    cp -a opt/. /opt/
  else
    mount --bind opt /opt
  fi
  if [ "${SANDBOX_ETC:-}" = ro ]; then
    mount --bind /opt/tal/etc /opt/tal/etc
    mount -o remount,bind,ro /opt/tal/etc
  fi
  if [ -n "${SANDBOX_ETC_IMAGE:-}" ]; then
    mount -o "loop,${SANDBOX_ETC_IMAGE_OPTIONS:-defaults}" "$SANDBOX_ETC_IMAGE" /opt/tal/etc
  fi
  mount --bind sbin /sbin
  if [ -n "${SANDBOX_TMP_SIZE:-}" ]; then
    mount -t tmpfs -o "size=$SANDBOX_TMP_SIZE,mode=1777" tmpfs /tmp
  else
    mount --bind tmp /tmp
  fi
  # A new /dev, laid out beside ROOT first: once it is in place the host
  # devices it binds are hidden.
  mkdir -p .sandbox-dev
  mount -t tmpfs -o size=64k,mode=755 tmpfs .sandbox-dev
  for node in null zero urandom; do
    touch ".sandbox-dev/$node"
    mount --bind "/dev/$node" ".sandbox-dev/$node"
  done
  ln -s /proc/self/fd .sandbox-dev/fd
  ln -s /proc/self/fd/0 .sandbox-dev/stdin
  ln -s /proc/self/fd/1 .sandbox-dev/stdout
  ln -s /proc/self/fd/2 .sandbox-dev/stderr
  if [ -n "${SANDBOX_LOG:-}" ]; then
    touch .sandbox-dev/log
    mount --bind "$SANDBOX_LOG" .sandbox-dev/log
  fi
  mount --move .sandbox-dev /dev
  if [ -n "${SANDBOX_CP:-}" ]; then
    mount --bind "$SANDBOX_CP" /bin/cp
  fi
  if [ -n "${SANDBOX_OPT_SIZE:-}" ]; then
    status=0
    "$@" || status=$?
    rm -rf opt-after && mkdir opt-after && tar -C /opt/tal/etc -cf - . | tar -C opt-after -xf -
    exit "$status"
  fi
  exec "$@"
' sandbox "$root" "$@"
