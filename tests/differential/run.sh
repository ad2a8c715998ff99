#!/bin/sh
# Differential run of two builds of the tool: settings files made at random
# (tests/differential/generate.cpp), each stored into by both builds, for the
# sections pim_sm, ospf, mpls and global, from the same text; the exit
# statuses and the resulting settings files must be the same, byte for byte.
# For a change to how the file is read that must not change what is written.
#
# usage: tests/differential/run.sh BEFORE_BINARY AFTER_BINARY [COUNT] [SEED]
#   COUNT files (10000), made from SEED (1): a seed gives the same files.
#
# All runs happen in one sandbox (tests/sandbox.sh) over a root under
# build-differential/, with an empty /sbin (no hash tool). In it, one worker
# per core, each in a mount namespace of its own with /opt and /tmp small
# tmpfs (the tool's fixed paths never meet), takes its share of the files:
# the tool's runs cost mostly process starts, which a second core takes on
# (about 1.5 to 2 times as many runs per second on 2 cores). Every 50th file is stored with a
# text holding a NUL, the next with an empty text, the others with a fixed
# text. Prints the first differences and "differential: N passed, M failed",
# one test per file and section; the files of the first differences are kept
# under build-differential/. Needs root.
set -eu
sections="pim_sm ospf mpls global"
workers=$(nproc)

if [ "${1:-}" = --worker ]; then
  # One worker, in the root: bin/before, bin/after, corpus/, the texts. It
  # takes the files whose number is WORKER modulo WORKERS, prints what
  # differs and ends with a tally line; the files of its first differences
  # go to ../differences.
  worker=$2
  of=$3
  shift 3
  settings=/opt/tal/etc/settings
  passed=0
  failed=0
  files=0
  files_differing=0
  exited_0=0
  exited_1=0
  exited_2=0
  exited_other=0
  number=-1
  started=$(date +%s)
  for input in corpus/*.settings; do
    number=$((number + 1))
    [ $((number % of)) = "$worker" ] || continue
    name=${input##*/}
    case $((number % 50)) in
      0) text=./text-nul ;;
      1) text=./text-empty ;;
      *) text=./text ;;
    esac
    files=$((files + 1))
    differs=0
    for section in "$@"; do
      # Both runs find a settings file in place with the input's bytes
      # written into it; what the first one made is kept aside.
      cat "$input" > "$settings"
      before=0
      "./bin/before/tal-setconf-$section" "$text" || before=$?
      cp "$settings" /opt/result-before 2>/dev/null || rm -f /opt/result-before
      cat "$input" > "$settings"
      after=0
      "./bin/after/tal-setconf-$section" "$text" || after=$?
      case $before in
        0) exited_0=$((exited_0 + 1)) ;;
        1) exited_1=$((exited_1 + 1)) ;;
        2) exited_2=$((exited_2 + 1)) ;;
        *) exited_other=$((exited_other + 1)) ;;
      esac
      if [ "$before" = "$after" ] && cmp -s /opt/result-before "$settings"; then
        passed=$((passed + 1))
        continue
      fi
      failed=$((failed + 1))
      differs=1
      where=$(cmp /opt/result-before "$settings" 2>&1 | head -n 1) || true
      echo "DIFFERS: $name $section (text $text): exit status $before before, $after after${where:+; $where}"
      if [ "$failed" -le 5 ]; then
        mkdir -p ../differences
        cp "$input" "../differences/$name"
        cp /opt/result-before "../differences/$name.$section.before" 2>/dev/null || true
        cp "$settings" "../differences/$name.$section.after" 2>/dev/null || true
      fi
    done
    files_differing=$((files_differing + differs))
    if [ $((files % 1000)) = 0 ]; then
      echo "worker $worker: $files files done, $(($(date +%s) - started)) s" >&2
    fi
  done
  echo "tally $passed $failed $files $files_differing $exited_0 $exited_1 $exited_2 $exited_other"
  exit 0
fi

if [ "${1:-}" = --in-sandbox ]; then
  # In the sandbox, in the root: starts the workers and adds up their tallies.
  shift
  started=$(date +%s)
  worker=0
  while [ "$worker" -lt "$workers" ]; do
    # The script is expanded by the worker's shell, not this one.
    # shellcheck disable=SC2016
    unshare --mount --propagation private /bin/sh -eu -c '
      mount -t tmpfs -o size=64m,mode=755 tmpfs /opt
      mkdir -p /opt/tal/etc
      mount -t tmpfs -o size=64m,mode=1777 tmpfs /tmp
      exec /bin/sh ./differential.sh --worker "$@"' worker "$worker" "$workers" "$@" \
      > "worker-$worker.out" &
    worker=$((worker + 1))
  done
  wait
  grep -h '^DIFFERS:' worker-*.out | sort | head -n 10
  awk -v workers="$workers" -v sections=$# -v seconds=$(($(date +%s) - started)) '
    $1 == "tally" { ++tallies; for (i = 2; i <= NF; ++i) t[i] += $i }
    END {
      if (tallies != workers) {
        print "differential: " workers - tallies " worker(s) ended without a tally"
        t[3] += 1
      }
      print "exit statuses of the first build: 0: " t[6] ", 1: " t[7] ", 2: " t[8] ", other: " t[9]
      print t[4] " files, " t[5] " with a difference; " t[4] * sections " runs of each build in " seconds " s"
      print "differential: " t[2] + 0 " passed, " t[3] + 0 " failed"
      exit t[3] != 0
    }' worker-*.out
  exit
fi

if [ $# -lt 2 ] || [ $# -gt 4 ]; then
  echo "usage: run.sh BEFORE_BINARY AFTER_BINARY [COUNT] [SEED]" >&2
  exit 64
fi
before=$1
after=$2
count=${3:-10000}
seed=${4:-1}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
# shellcheck source=tests/device_root.sh
. "$top/tests/device_root.sh"
require_sandbox
for binary in "$before" "$after"; do
  if [ ! -f "$binary" ] || [ ! -x "$binary" ]; then
    echo "run.sh: no binary $binary" >&2
    exit 64
  fi
done

scratch=$(new_scratch "$top/build-differential" run)
root=$scratch/root
# Everything goes but the files of differences, which the workers write
# beside the root.
trap 'rm -rf "$root" "$scratch/before" "$scratch/after" "$scratch/generate"
  rmdir "$scratch" 2>/dev/null || echo "files of the first differences kept in $scratch/differences"' EXIT
trap 'exit 130' INT TERM

g++ -std=c++20 -O2 -Wall -Wextra -Werror "$here/generate.cpp" -o "$scratch/generate"
device_root_layout "$root"
# One root's bin/ per build, as device_root_layout lays it out, side by side.
# shellcheck disable=SC2086
device_root_layout "$scratch/before" "$before" $sections
# shellcheck disable=SC2086
device_root_layout "$scratch/after" "$after" $sections
mv "$scratch/before/bin" "$root/bin/before"
mv "$scratch/after/bin" "$root/bin/after"
printf 'ip pim rp-address 10.0.0.1 224.0.0.0/4\nrouter ospf\n network 10.0.0.0/8 area 0\n' \
  > "$root/text"
printf 'ip pim spt-switchover infinity\000hidden behind the NUL\n' > "$root/text-nul"
: > "$root/text-empty"
cp "$0" "$root/differential.sh"

mkdir "$root/corpus"
started=$(date +%s)
"$scratch/generate" "$seed" "$count" "$root/corpus"
echo "generated in $(($(date +%s) - started)) s"
status=0
# shellcheck disable=SC2086
sh "$top/tests/sandbox.sh" "$root" /bin/sh ./differential.sh --in-sandbox $sections || status=$?
echo "took $(($(date +%s) - started)) s in all"
exit "$status"
