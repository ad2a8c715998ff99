#!/bin/sh
# Builds the libFuzzer target with clang, replays the seed corpus (and every
# input kept under fuzz/regressions) as a regression run, then fuzzes for a
# bounded time. A finding is left in build-fuzz/findings and fails the run.
# usage: scripts/fuzz.sh [SECONDS]   (default 60)
#        scripts/fuzz.sh --packages   (prints the Debian packages it needs)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
packages="cmake make clang-14 libclang-rt-14-dev"
[ "${1:-}" != --packages ] || { echo "$packages"; exit 0; }
seconds=${1:-60}
# shellcheck disable=SC2086
sh scripts/install-deps.sh $packages
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
fuzzer=build-fuzz/fuzz/section_rewrite_fuzz
mkdir -p fuzz/regressions
echo "--- replaying seeds and regressions"
"$fuzzer" -runs=0 fuzz/corpus fuzz/regressions > build-fuzz/replay.log 2>&1 ||
  { tail -n 40 build-fuzz/replay.log; echo "fuzz: 0 passed, 1 failed (a seed or regression fails)"; exit 1; }
tail -n 2 build-fuzz/replay.log
echo "--- fuzzing for $seconds s"
rm -rf build-fuzz/corpus build-fuzz/findings
mkdir -p build-fuzz/corpus build-fuzz/findings
cp fuzz/corpus/* build-fuzz/corpus/
"$fuzzer" -max_total_time="$seconds" -max_len=40000 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/findings/ build-fuzz/corpus 2>build-fuzz/fuzz.log ||
  { tail -n 40 build-fuzz/fuzz.log; echo "fuzz: 1 passed, 1 failed (a finding in build-fuzz/findings)"; exit 1; }
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' build-fuzz/fuzz.log
echo "fuzz: 2 passed, 0 failed (replay, $seconds s of fuzzing)"
