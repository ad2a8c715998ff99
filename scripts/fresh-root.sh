#!/bin/sh
# Proves that every route the README and doc/building.md document works on
# a fresh Debian 12 machine exactly as written: bootstraps a minimal Debian
# 12 root (debootstrap --variant=minbase), reads the routes from README.md
# (the commands of "Quick start" and each row of its table under "Build and
# install") and from doc/building.md (each row of its routes table; a row
# the README already holds is run once), and runs each one as root in its
# own copy of that root, from a copy of the sources without .git (as a
# tarball gives them). Ends with a table of routes, times and results; each
# route's output is kept in build-fresh/route-NUMBER.log.
#
# The copies are entered with unshare: a private mount namespace (where
# /proc is mounted, /dev and /sys are the kernel's as on a booted machine, so
# that loop devices work, and the copy is bound onto itself, so that the
# tests can make mount namespaces of their own) and a private pid namespace; nothing
# stays mounted on this machine when a route ends. Downloaded packages are
# shared between the copies to spare the mirror, nothing else.
#
# Needs root and the Debian mirror; takes about 20 minutes on a 2-core
# machine, half of it the whole test suite's route.
# usage: scripts/fresh-root.sh [NUMBER...]   (the routes' numbers; all by default;
#        scripts/fresh-root.sh --list prints them)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
mirror=http://deb.debian.org/debian

# route lines: NAME<TAB>INSTALL<TAB>COMMANDS. A route table is one with the
# header "| route | install | commands |": three cells a row, the install
# and the commands in backticks.
routes() {
  awk -F'\t' '
    FNR == 1 { section = ""; table = 0; block = 0 }
    /^## / { section = $0; table = 0 }
    section ~ /^## Quick start/ && /^```/ { block = !block; next }
    section ~ /^## Quick start/ && block && /^sh / { print "quick start: " $0 "\t\t" $0 }
    /^\| route \| install \| commands \|/ { table = 1; next }
    table && /^\|---/ { next }
    table && /^\| / {
      row = $0
      sub(/^\| /, "", row); sub(/ \|$/, "", row)
      n = split(row, cell, / \| /)
      if (n != 3) { print FILENAME ": a route row without three cells: " $0 > "/dev/stderr"; exit 1 }
      for (i = 2; i <= 3; i++) gsub(/`/, "", cell[i])
      if (!seen[cell[2] "\t" cell[3]]++) print cell[1] "\t" cell[2] "\t" cell[3]
    }
    table && !/^\|/ { table = 0 }
  ' README.md doc/building.md
}

all=$(routes)
[ -n "$all" ] || { echo "fresh-root: no route found in README.md or doc/building.md" >&2; exit 1; }
if [ "${1:-}" = --list ]; then
  echo "$all" | awk -F'\t' '{ print NR ": " $1 }'
  exit 0
fi
[ "$(id -u)" = 0 ] || { echo "fresh-root: needs root (debootstrap, unshare)" >&2; exit 1; }
chosen=${*:-$(echo "$all" | awk 'END { for (i = 1; i <= NR; i++) printf "%d ", i }')}

sh scripts/install-deps.sh debootstrap
work=$(mktemp -d /var/tmp/tal-setconf-fresh.XXXXXX)
trap 'rm -rf "$work"' EXIT
logs="$top/build-fresh"
rm -rf "$logs"
mkdir -p "$logs" "$work/debs"

start=$(date +%s)
if ! debootstrap --variant=minbase bookworm "$work/base" "$mirror" > "$logs/debootstrap.log" 2>&1; then
  tail -n 20 "$logs/debootstrap.log"
  echo "fresh-root: debootstrap failed" >&2
  exit 1
fi
echo "fresh Debian 12 minbase root: $(($(date +%s) - start)) s"

# The sources as a tarball holds them: tracked and new files, no .git, no builds.
files=$(git ls-files -co --exclude-standard 2>/dev/null ||
  find . -path ./build\* -prune -o -path ./.git -prune -o -type f -print)
# shellcheck disable=SC2086
tar -cf "$work/sources.tar" $files

table="$logs/table.txt"
printf '%-3s %-55s %8s  %s\n' "#" route time result > "$table"
failed=0
for number in $chosen; do
  line=$(echo "$all" | sed -n "${number}p")
  [ -n "$line" ] || { echo "fresh-root: no route $number (see --list)" >&2; exit 64; }
  name=$(echo "$line" | cut -f1)
  install=$(echo "$line" | cut -f2)
  commands=$(echo "$line" | cut -f3)
  copy="$work/root-$number"
  log="$logs/route-$number.log"
  cp -a "$work/base" "$copy"
  mkdir -p "$copy/root/tal-setconf"
  tar -C "$copy/root/tal-setconf" -xf "$work/sources.tar"
  find "$work/debs" -name '*.deb' -exec ln -f {} "$copy/var/cache/apt/archives/" \;
  printf 'set -eu\ncd /root/tal-setconf\nset -x\n%s\n%s\n' "$install" "$commands" > "$copy/root/route.sh"

  echo "route $number: $name"
  begin=$(date +%s)
  status=0
  # shellcheck disable=SC2016
  env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb \
    unshare --mount --pid --fork /bin/sh -c '
      mount --bind "$1" "$1"
      mount -t devtmpfs devtmpfs "$1/dev"
      mount -t sysfs sysfs "$1/sys"
      exec unshare --mount-proc --root="$1" --wd=/root/tal-setconf /bin/sh /root/route.sh
    ' fresh-root "$copy" > "$log" 2>&1 < /dev/null || status=$?
  seconds=$(($(date +%s) - begin))
  if [ "$status" = 0 ]; then
    result=passed
  else
    result="FAILED (exit $status)"
    failed=$((failed + 1))
    tail -n 30 "$log" | sed 's/^/    /'
  fi
  echo "route $number: $result in $seconds s"
  printf '%-3s %-55s %6s s  %s\n' "$number" "$name" "$seconds" "$result" >> "$table"
  find "$copy/var/cache/apt/archives" -name '*.deb' -exec ln -f {} "$work/debs/" \; 2>/dev/null || true
  rm -rf "$copy"
done

echo
cat "$table"
count=$(echo "$chosen" | wc -w)
echo "routes: $((count - failed)) passed, $failed failed"
[ "$failed" = 0 ]
