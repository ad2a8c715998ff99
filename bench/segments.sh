#!/bin/sh
# Where a store's time goes, against the floor's, step by step: the
# scheduler's record (perf sched) of rounds of floor, before, floor, after
# (the builds bench/compare.sh laid out under build-compare/root, router-like,
# /tmp on tmpfs), cut at the moments the kernel saw: the children's start and
# end. For each of floor, before and after, the median (ms) of
#   start   from the start of the process to the start of cp (start-up, text,
#           lock, leftovers, settings opened and leased, working copy placed,
#           fork)
#   cp      cp's process, from fork to exit (the tool's own load, rewrite,
#           new file with its attributes and fsync run meanwhile)
#   work    from cp's exit to the start of the hash tool (what is left of the
#           tool's own work, exchange, old file removed, fsync)
#   hash    the hash tool's process
#   end     from the hash tool's exit to the process's (working copy removed,
#           what the process frees, log line, exit)
#   total   the whole process
# The parts' medians need not add up to the total's. Nothing here is a test.
#
# usage: sh bench/segments.sh SIZE SECTION [ROUNDS]   (root; after bench/compare.sh)
#   SIZE: bytes of ~36-byte lines (bench/make_settings.sh); ROUNDS: 20
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
root=$top/build-compare/root
if [ "${1:-}" = --inside ]; then
  size=$2 section=$3 rounds=$4
  sh ./bin/make_settings.sh "$size" 36 > /opt/tal/etc/settings
  sync /opt/tal/etc/settings
  for build in before after; do "./bin/static/$build/tal-setconf-$section" ./in.txt; done
  run="$PWD/bin/static"
  perf sched record -q -o /tmp/sched.data -- sh -c "for i in \$(seq $rounds); do
      $run/floor; $run/before/tal-setconf-$section $PWD/in.txt
      $run/floor; $run/after/tal-setconf-$section $PWD/in.txt
    done" > /dev/null 2>&1
  # A process's start: its first switch-out less what it ran and waited to
  # run; its end: its last switch-out. cp and the hash tool are the next two
  # pids after their parent's (nothing else forks meanwhile).
  perf sched timehist -i /tmp/sched.data 2>/dev/null | awk '
    $3 ~ /\[[0-9]+\]$/ {
      t = $1 * 1000; pid = $3; sub(/.*\[/, "", pid); sub(/\]/, "", pid)
      name = $3; sub(/\[.*/, "", name)
      if (!(pid in first)) first[pid] = t - $6 - $5
      comm[pid] = name; last[pid] = t
    }
    END {
      for (p in first) {
        if (comm[p] != "floor" && comm[p] !~ /^tal-setconf/) continue
        c = p + 1; h = p + 2
        if (!(c in first) || !(h in first)) continue
        print p, comm[p] == "floor" ? "floor" : "tool", first[c] - first[p], last[c] - first[c],
          first[h] - last[c], last[h] - first[h], last[p] - last[h], last[p] - first[p]
      }
    }' | sort -n | awk '$2 == "tool" { $2 = (++n % 2 == 1) ? "before" : "after" } { print }' > /tmp/runs
  echo "| | start | cp | work | hash | end | total | runs |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|"
  for who in floor before after; do
    printf "| %s" "$who"
    for column in 3 4 5 6 7 8; do
      awk -v who="$who" -v c="$column" '$2 == who { print $c }' /tmp/runs | sort -n |
        awk '{ v[NR] = $1 } END { printf " | %.3f", v[int((NR + 1) / 2)] }'
    done
    echo " | $(awk -v who="$who" '$2 == who' /tmp/runs | wc -l) |"
  done
  exit 0
fi
[ -x "$root/bin/static/after/tal-setconf" ] || {
  echo "segments: run bench/compare.sh first: it lays out $root" >&2
  exit 1
}
command -v perf > /dev/null || {
  echo "segments: needs perf (apt-get install linux-perf)" >&2
  exit 1
}
cp "$0" "$root/bin/segments.sh"
echo "$2, $(($1 / 1024)) KB, ${3:-20} rounds, median ms:"
SANDBOX_TMP_SIZE=64m sh "$top/tests/sandbox.sh" "$root" /bin/sh ./bin/segments.sh --inside "$1" "$2" "${3:-20}"
