#!/bin/sh
# Builds the libFuzzer target with clang, replays the seed corpus (and every
# input kept under fuzz/regressions) as a regression run, then fuzzes for a
# bounded time. A finding is left in build-fuzz/findings and fails the run.
# usage: scripts/fuzz.sh [SECONDS]   (default 60)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-60}
sh scripts/install-deps.sh cmake make clang-14 libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
fuzzer=build-fuzz/fuzz/section_rewrite_fuzz
mkdir -p fuzz/regressions
echo "--- replaying seeds and regressions"
"$fuzzer" -runs=0 fuzz/corpus fuzz/regressions 2>&1 | tail -n 2
echo "--- fuzzing for $seconds s"
rm -rf build-fuzz/corpus build-fuzz/findings
mkdir -p build-fuzz/corpus build-fuzz/findings
cp fuzz/corpus/* build-fuzz/corpus/
"$fuzzer" -max_total_time="$seconds" -max_len=40000 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/findings/ build-fuzz/corpus 2>build-fuzz/fuzz.log ||
  { tail -n 40 build-fuzz/fuzz.log; echo "fuzzer found a fault: build-fuzz/findings"; exit 1; }
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' build-fuzz/fuzz.log
echo "fuzz: no finding"
