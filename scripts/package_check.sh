#!/bin/sh
# Checks the Debian packages as a packager would: builds the router's (arm64)
# and this machine's package from two clean copies of the tree at different
# paths, under umask 022 and 002, and requires byte-identical packages; runs
# lintian on them; checks that the binaries are hardened (PIE or static-pie,
# stack protector, fortify, RELRO, BIND_NOW) and the router's is one file
# under 1 MB.
# usage: scripts/package_check.sh
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
sh scripts/install-deps.sh cmake make g++ g++-aarch64-linux-gnu dpkg-dev lintian devscripts \
  file binutils
work=$(mktemp -d "$top/build-package-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Two copies of the sources as a tarball would hold them (no .git, no builds).
files=$(git ls-files -co --exclude-standard 2>/dev/null || find . -path ./build\* -prune -o -type f -print)
for tree in "$work/a/src" "$work/copy-number-two/tal-setconf-1.0.0"; do
  mkdir -p "$tree"
  # shellcheck disable=SC2086
  tar -cf - $files | tar -C "$tree" -xf -
done

build() {  # build TREE UMASK OUT
  (
    umask "$2"
    cd "$1"
    for preset in release aarch64-package; do
      cmake --preset "$preset" >/dev/null
      cmake --build --preset "$preset" >/dev/null
      sh scripts/package.sh "build-$preset" "$3" >/dev/null
    done
  )
}
build "$work/a/src" 022 "$work/out-a"
build "$work/copy-number-two/tal-setconf-1.0.0" 002 "$work/out-b"

status=0
echo "--- reproducible"
for deb in "$work"/out-a/*.deb; do
  name=$(basename "$deb")
  if cmp -s "$deb" "$work/out-b/$name"; then
    echo "$name: identical, sha256 $(sha256sum < "$deb" | cut -c1-16)…, $(stat -c %s "$deb") bytes"
  else
    echo "FAIL: $name differs between the two builds"
    status=1
  fi
done

echo "--- lintian"
# shellcheck disable=SC2046
lintian --fail-on error --info $(ls "$work"/out-a/*.deb) || status=1

echo "--- hardening"
native="$work/a/src/build-release/tal-setconf"
hardening-check --nocfprotection --nofortify "$native" || status=1
# hardening-check cannot see fortify in a binary whose calls were all checked
# at compile time, and the router's binary is stripped: the compile commands
# tell instead.
for build in build-release build-aarch64-package; do
  commands="$work/a/src/$build/compile_commands.json"
  total=$(grep -c '"command"' "$commands")
  for flag in -D_FORTIFY_SOURCE=2 -fstack-protector-strong; do
    [ "$(grep '"command"' "$commands" | grep -c -- "$flag")" = "$total" ] ||
      { echo "FAIL: not every compile of $build has $flag"; status=1; }
  done
  echo "$build: fortify and stack protector in all $total compile commands"
done
router="$work/a/src/build-aarch64-package/tal-setconf"
file "$router"
file "$router" | grep -q "ARM aarch64.*static-pie linked" || { echo "FAIL: not static-pie"; status=1; }
readelf -lW "$router" | grep -q GNU_RELRO || { echo "FAIL: no RELRO"; status=1; }
readelf -dW "$router" | grep -Eq 'BIND_NOW|FLAGS.*NOW' || { echo "FAIL: no BIND_NOW"; status=1; }
size=$(stat -c %s "$router")
echo "router binary: $size bytes"
[ "$size" -lt 1048576 ] || { echo "FAIL: router binary over 1 MB"; status=1; }
[ "$status" = 0 ] && echo "package: all checks passed"
exit "$status"
