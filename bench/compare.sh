#!/bin/sh
# Compares two revisions of tal-setconf with each other and with the floor
# (bench/floor.cpp), side by side on this machine. Builds each revision in its
# own git worktree under build-compare/, twice: "router-like" (static-pie
# Release, as the router links it) and "as built" (the plain dynamic Release
# build); bench/floor.cpp likewise, static and dynamic. Then prints:
#   - per configuration, the medians of a store into pim_sm and into the
#     generic ospf over the floor's, at each settings size (runs alternate:
#     floor, before, after, round after round, every second round in reverse
#     order; bench/interleave.cpp);
#     router-like with /tmp on tmpfs, as built with /tmp on the disk; the
#     settings file is always on the disk;
#   - callgrind's instruction count of one store of the largest file, per byte;
#   - the system calls of one store of the smallest file next to the floor's;
#   - the cost of the dynamic loader: a run that stops at its usage check,
#     dynamic against static.
# Everything runs in tests/sandbox.sh over build-compare/root. Needs root.
# Not a test: it fails only when it cannot run or a check below fails.
#
# usage: bench/compare.sh BEFORE_REV AFTER_REV
#   ROUNDS=15      timed rounds per size (after WARMUP=3 untimed ones)
#   REPEAT=1       times the whole timing is repeated; above 1, the spread
#                  (least-greatest) of each ratio over the repeats follows
#   SIZES="4096 65536 1048576 10485760"  settings sizes in bytes
#   LINE=36        length of the settings file's lines (bench/make_settings.sh)
#   ORDER=balanced every second round in reverse order; fixed: always floor,
#                  before, after
#   LOADER_ROUNDS=301  rounds of the loader measurement
set -eu
[ $# = 2 ] || { echo "usage: bench/compare.sh BEFORE_REV AFTER_REV" >&2; exit 64; }
started=$(date +%s)
rounds=${ROUNDS:-15}
warmup=${WARMUP:-3}
repeat=${REPEAT:-1}
sizes=${SIZES:-4096 65536 1048576 10485760}
line=${LINE:-36}
order=${ORDER:-balanced}
case $order in
  balanced | fixed) ;;
  *) echo "compare: ORDER is balanced or fixed" >&2 && exit 64 ;;
esac
loader_rounds=${LOADER_ROUNDS:-301}
tmp_size=64m
# Only the mounts asked for below.
unset SANDBOX_ETC SANDBOX_ETC_IMAGE SANDBOX_ETC_IMAGE_OPTIONS SANDBOX_OPT_SIZE SANDBOX_TMP_SIZE \
  SANDBOX_CP SANDBOX_LOG
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
sh scripts/install-deps.sh cmake g++ make file git valgrind strace gawk coreutils util-linux
. tests/device_root.sh
sandbox_available || {
  echo "compare: needs root with CAP_SYS_ADMIN for a private mount namespace (unshare -m)" >&2
  exit 77
}
out=$top/build-compare
results=$out/results
mkdir -p "$out"
rm -rf "$results"
mkdir "$results"

# elapsed: seconds since the start, for the phase lines.
elapsed() { echo "$(($(date +%s) - started)) s"; }

# worktree LABEL REV: the revision's sources in build-compare/src-LABEL.
worktree() {
  commit=$(git rev-parse --verify --quiet "$2^{commit}") || {
    echo "compare: $2 is not a revision of this repository" >&2
    exit 64
  }
  src=$out/src-$1
  if [ -f "$src/.git" ] && git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$src" checkout -q --detach "$commit"
  else
    rm -rf "$src"
    # -f: a worktree of an earlier run whose directory is gone is still
    # registered under that path.
    git worktree add -f -q --detach "$src" "$commit"
  fi
  echo "$1: $2 is $(git log -1 --format='%h (%cs) %s' "$commit" | cut -c1-100)"
}

# build SRC DIR EXPECTED CMAKE_ARG...: tal-setconf of SRC, Release, in DIR;
# `file` must say EXPECTED of it.
build() {
  build_src=$1 build_dir=$2 build_expected=$3
  shift 3
  if ! { cmake -S "$build_src" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" &&
    cmake --build "$build_dir" -j2 --target tal-setconf; } > "$build_dir.log" 2>&1; then
    tail -30 "$build_dir.log" >&2
    echo "compare: building $build_src in $build_dir failed" >&2
    exit 1
  fi
  check_file "$build_dir/tal-setconf" "$build_expected"
}

# check_file BINARY EXPECTED: `file` must say EXPECTED of BINARY.
check_file() {
  description=$(file -b "$1")
  case $description in
    *"$2"*) echo "  $(basename "$(dirname "$1")")/$(basename "$1"): $2" ;;
    *)
      echo "compare: $1 is not $2: $description" >&2
      exit 1
      ;;
  esac
}

echo "# tal-setconf: before and after, against the floor"
echo
echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
  "$(uname -sr); load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
for label in before after; do
  if [ "$label" = before ]; then rev=$1; else rev=$2; fi
  worktree "$label" "$rev"
  build "$out/src-$label" "$out/$label-static" "static-pie linked" -DTAL_LINK_STATIC=ON
  build "$out/src-$label" "$out/$label-dynamic" "dynamically linked" -DTAL_LINK_STATIC=OFF
done
cxx="g++ -std=c++20 -O2 -Wall -Wextra -Werror"
mkdir -p "$out/floor-static" "$out/floor-dynamic"
$cxx -fPIE -static-pie bench/floor.cpp -o "$out/floor-static/floor"
$cxx bench/floor.cpp -o "$out/floor-dynamic/floor"
check_file "$out/floor-static/floor" "static-pie linked"
check_file "$out/floor-dynamic/floor" "dynamically linked"
$cxx bench/interleave.cpp -o "$out/interleave"
echo "built ($(elapsed))"

root=$out/root
rm -rf "$root"
device_root_layout "$root"
for link in static dynamic; do
  for label in before after; do
    mkdir -p "$root/bin/$link/$label"
    cp "$out/$label-$link/tal-setconf" "$root/bin/$link/$label/"
    ln -s tal-setconf "$root/bin/$link/$label/tal-setconf-pim_sm"
    ln -s tal-setconf "$root/bin/$link/$label/tal-setconf-ospf"
  done
  cp "$out/floor-$link/floor" "$root/bin/$link/"
done
cp "$out/interleave" bench/make_settings.sh bench/compare_session.sh "$root/bin/"
cp /bin/true "$root/sbin/hash_generate"  # a trivial hash tool
printf 'ip pim rp-address 10.0.0.1 224.0.0.0/4\nip pim spt-switchover infinity\n' > "$root/in.txt"

# session [SANDBOX_TMP_SIZE] MODE ARG...: compare_session.sh in the sandbox;
# an empty first argument leaves /tmp on the disk.
session() {
  if [ -n "$1" ]; then
    tmp=$1
    shift
    SANDBOX_TMP_SIZE=$tmp sh tests/sandbox.sh "$root" /bin/sh ./bin/compare_session.sh "$@"
  else
    shift
    sh tests/sandbox.sh "$root" /bin/sh ./bin/compare_session.sh "$@"
  fi
}

# table FILE: the ratios of one timing session.
table() {
  awk '
    function human(n) { return n >= 1048576 ? n / 1048576 " MB" : n / 1024 " KB" }
    $2 == "size" || $2 == "same" { next }
    {
      median[$1, $2] = $3
      if (!($1 in seen)) { seen[$1] = 1; order[++count] = $1 }
    }
    END {
      print "| settings | before pim_sm / floor | after pim_sm / floor | before ospf / floor | after ospf / floor | floor (ms) |"
      print "|---:|---:|---:|---:|---:|---:|"
      for (i = 1; i <= count; i++) {
        s = order[i]; f = median[s, "floor"]
        printf "| %s | %.2f | %.2f | %.2f | %.2f | %.2f |\n", human(s), median[s, "before_pim_sm"] / f,
          median[s, "after_pim_sm"] / f, median[s, "before_ospf"] / f, median[s, "after_ospf"] / f, f
      }
    }' "$1"
}

# spread FILE...: least and greatest of each ratio and of the floor over the
# sessions' files.
spread() {
  awk '
    function human(n) { return n >= 1048576 ? n / 1048576 " MB" : n / 1024 " KB" }
    function keep(key, v) {
      if (!((key) in low) || v < low[key]) low[key] = v
      if (!((key) in high) || v > high[key]) high[key] = v
    }
    $2 == "size" || $2 == "same" { next }
    {
      median[FILENAME, $1, $2] = $3
      if (!($1 in seen)) { seen[$1] = 1; order[++count] = $1 }
      files[FILENAME] = 1
    }
    END {
      split("before_pim_sm after_pim_sm before_ospf after_ospf", names, " ")
      for (file in files) for (i = 1; i <= count; i++) {
        s = order[i]; f = median[file, s, "floor"]
        for (j = 1; j <= 4; j++) keep(s SUBSEP j, median[file, s, names[j]] / f)
        keep(s SUBSEP 5, f)
      }
      print "| settings | before pim_sm / floor | after pim_sm / floor | before ospf / floor | after ospf / floor | floor (ms) |"
      print "|---:|---:|---:|---:|---:|---:|"
      for (i = 1; i <= count; i++) {
        s = order[i]; row = "| " human(s) " |"
        for (j = 1; j <= 5; j++) row = row sprintf(" %.2f-%.2f |", low[s, j], high[s, j])
        print row
      }
    }' "$@"
}

# sizes FILE: the settings sizes after the first store, which every later run
# kept (interleave checks it).
steady_sizes() {
  awk '$2 == "size" { printf "%s%d bytes (%s asked)", sep, $3, $1; sep = ", " } END { print "" }' "$1"
}

echo
echo "## Timing"
echo
if [ "$order" = fixed ]; then
  round_order="each round runs floor, before pim_sm, after pim_sm, floor, before ospf, after ospf"
else
  round_order="a round runs floor, before pim_sm, after pim_sm, floor, before ospf, after ospf"
  round_order="$round_order, and the next one the same in reverse order"
fi
echo "Medians of $rounds rounds after $warmup untimed ones; $round_order (the floor's median pools" \
  "both of its runs)." \
  "Settings of ~$line-byte lines made by bench/make_settings.sh, on the disk" \
  "($(df -T "$root" | awk 'NR == 2 { print $2 }')); nothing is restored between runs."
repeat_index=1
while [ "$repeat_index" -le "$repeat" ]; do
  for config in router built; do
    load_before=$(cut -d' ' -f1 /proc/loadavg)
    if [ "$config" = router ]; then
      # shellcheck disable=SC2086 # $sizes: one argument per size
      session "$tmp_size" times static "$order" "$warmup" "$rounds" "$line" $sizes > "$results/router.$repeat_index.txt"
      title="router-like: static-pie builds and floor, /tmp on tmpfs"
    else
      # shellcheck disable=SC2086 # $sizes: one argument per size
      session "" times dynamic "$order" "$warmup" "$rounds" "$line" $sizes > "$results/built.$repeat_index.txt"
      title="as built: dynamic builds and floor, /tmp on the disk"
    fi
    echo
    echo "### $title (repeat $repeat_index of $repeat)"
    echo
    table "$results/$config.$repeat_index.txt"
    echo
    echo "Load average (1 min) before and after: $load_before, $(cut -d' ' -f1 /proc/loadavg)." \
      "Size after the first store of each section, the same after every later run:" \
      "$(steady_sizes "$results/$config.$repeat_index.txt"). Both builds wrote the same bytes:" \
      "$(awk '$2 == "same" { n++ } END { print n + 0 }' "$results/$config.$repeat_index.txt") of" \
      "$(($(echo "$sizes" | wc -w) * 2)) checks."
  done
  repeat_index=$((repeat_index + 1))
done
if [ "$repeat" -gt 1 ]; then
  for config in router built; do
    echo
    if [ "$config" = router ]; then
      echo "### router-like: spread over $repeat repeats (least-greatest)"
    else
      echo "### as built: spread over $repeat repeats (least-greatest)"
    fi
    echo
    spread "$results/$config".*.txt
  done
fi
echo
echo "All medians, least and greatest times (ms): build-compare/results/{router,built}.N.txt."
echo
echo "timed ($(elapsed))"

callgrind_size=$(echo "$sizes" | tr ' ' '\n' | sort -n | tail -1)
echo
echo "## Instructions (callgrind, router-like static builds)"
echo
session "$tmp_size" callgrind "$line" "$callgrind_size" > "$results/callgrind.txt"
awk '
  $1 == "size" { size = $2; next }
  { count[++n] = $4; build[n] = $2; section[n] = $3 }
  END {
    printf "One store of a settings file of %d bytes (~'"$line"'-byte lines, already stored once);\n", size
    print "the tool alone: cp and the hash tool are not counted (--trace-children=no).\n"
    print "| build | section | instructions | per byte of the settings file |"
    print "|---|---|---:|---:|"
    for (i = 1; i <= n; i++) printf "| %s | %s | %d | %.2f |\n", build[i], section[i], count[i], count[i] / size
  }' "$results/callgrind.txt"
echo
echo "counted ($(elapsed))"

strace_size=$(echo "$sizes" | tr ' ' '\n' | sort -n | head -1)
echo
echo "## System calls (strace -f, router-like static builds, one pim_sm store of $strace_size bytes)"
session "$tmp_size" strace "$line" "$strace_size"
# Each line of strace -f -o is "PID call(...", "PID <... call resumed>...",
# "PID +++ ..." or "PID --- ...". The first pid is the process started; a
# child's calls up to its exec are the parent's code (the execve counted
# there), then they are the program's own.
gawk '
  function column(file) { sub(/.*\//, "", file); sub(/\.txt$/, "", file); return file }
  FNR == 1 { main = $1; col = column(FILENAME); cols[++ncols] = col; delete done; delete path }
  {
    pid = $1
    rest = substr($0, length(pid) + 2)
    sub(/^ +/, "", rest)
    if (rest ~ /^<\.\.\. execve resumed>/ && rest ~ /= 0$/) { done[pid] = path[pid]; next }
    if (rest ~ /^(<\.\.\.|\+\+\+|---)/) next
    call = rest; sub(/\(.*/, "", call)
    if (pid == main) group = "process"
    else if (pid in done) group = done[pid]
    else group = "child until exec"
    if (group == "child until exec" && !seen_child[col, pid]++) children[col]++
    count[group, call, col]++
    calls[group, call] = 1
    groups[group] = 1
    if (pid != main && call == "execve" && !(pid in done)) {
      p = rest; sub(/^execve\("/, "", p); sub(/".*/, "", p); sub(/.*\//, "", p)
      path[pid] = p
      if (rest ~ /= 0$/) done[pid] = p
    }
  }
  END {
    split("process|child until exec|cp|hash_generate", wanted, "|")
    titles["process"] = "The process itself"
    titles["child until exec"] = "Its children from fork to exec (its own code)"
    titles["cp"] = "cp, from its exec on (the same program for all)"
    titles["hash_generate"] = "The hash tool (/bin/true here), from its exec on"
    for (g in groups) if (!(g in titles)) { titles[g] = g ", from its exec on"; wanted[length(wanted) + 1] = g }
    for (w = 1; w in wanted; w++) {
      g = wanted[w]
      if (!(g in groups)) continue
      printf "\n### %s\n\n| call |", titles[g]
      for (c = 1; c <= ncols; c++) printf " %s |", cols[c]
      printf "\n|---|"
      for (c = 1; c <= ncols; c++) printf "---:|"
      printf "\n"
      n = 0
      for (key in calls) { split(key, part, SUBSEP); if (part[1] == g) names[++n] = part[2] }
      asort(names)
      delete total
      for (i = 1; i <= n; i++) {
        printf "| %s |", names[i]
        for (c = 1; c <= ncols; c++) {
          v = count[g, names[i], cols[c]] + 0; total[c] += v
          printf " %s |", v ? v : "-"
        }
        printf "\n"
      }
      printf "| **all** |"
      for (c = 1; c <= ncols; c++) printf " **%d** |", total[c]
      printf "\n"
      if (g == "child until exec") {
        printf "\nchildren:"
        for (c = 1; c <= ncols; c++) printf " %s %d;", cols[c], children[cols[c]]
        printf "\n"
      }
      delete names
    }
  }' "$root/trace/before.txt" "$root/trace/after.txt" "$root/trace/floor.txt"
echo
echo "traced ($(elapsed))"

echo
echo "## Dynamic loader (as built against router-like)"
echo
session "" loader "$loader_rounds" > "$results/loader.txt"
awk '
  { median[$1] = $2; runs = $5 }
  END {
    printf "A run that stops at once (tal-setconf-ospf with no argument: exit 1 at its usage check), median of %d runs after 20 untimed ones, alternating (every second round in reverse order).\n\n", runs
    print "| build | static-pie (ms) | dynamic (ms) | dynamic - static (ms) |"
    print "|---|---:|---:|---:|"
    split("before after", builds, " ")
    for (i = 1; i <= 2; i++) {
      b = builds[i]; s = median[b "_static"]; d = median[b "_dynamic"]
      printf "| %s | %.3f | %.3f | %.3f |\n", b, s, d, d - s
    }
  }' "$results/loader.txt"
echo
echo "done in $(elapsed); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
