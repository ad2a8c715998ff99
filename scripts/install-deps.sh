#!/bin/sh
# Installs the Debian 12 packages named as arguments, when any is missing,
# without recommends. Quiet: one line names what is installed; apt's and
# debconf's output is shown only when the install fails.
set -eu
missing=""
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" = 0 ]; then sudo=""; else sudo="sudo"; fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# shellcheck disable=SC2086
if ! { $sudo apt-get update -q &&
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    -o Dpkg::Use-Pty=0 $missing; } > "$log" 2>&1 < /dev/null; then
  cat "$log" >&2
  echo "install-deps: could not install:$missing" >&2
  exit 1
fi
