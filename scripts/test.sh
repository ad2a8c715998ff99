#!/bin/sh
# Builds tal-setconf and runs every test stage: natively (Release, g++, with a
# memcheck run), a Release build with clang++, for the router (AArch64,
# static-pie) under qemu-user, under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzzer for 45 s, the static checks, the
# package checks (lintian, hardening, reproducible builds) and the power-cut
# proof (scripts/powercut.sh).
#
# Quiet: the packages of the chosen stages are installed once, first; each
# stage writes its output to build-logs/STAGE.log, which is printed only when
# the stage fails. The run ends with a table of stages and their counts.
#
# A skipped test fails its stage: a test that cannot apply to a build is not
# registered for it, so a skip means this machine lacks something the test
# needs (a mount namespace, setfacl, ...), and a green run must not hide that.
# Each reason is printed once. TAL_ALLOW_SKIPS=1 lets a developer who knows
# what is missing pass anyway; the skips are still counted and told.
#
# usage: scripts/test.sh [STAGE...]   (all, in this order, when none is named)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
all="native clang aarch64 sanitize fuzz lint package powercut"
stages=${*:-$all}
for stage in $stages; do
  case " $all " in
    *" $stage "*) ;;
    *) echo "test.sh: no stage '$stage'; the stages are: $all" >&2; exit 64 ;;
  esac
done

# What each stage needs that a fresh Debian 12 lacks. The plain-script stages
# keep their own lists, so that they also work alone; powercut.sh installs
# what it needs itself.
stage_packages() {
  case $1 in
    native) echo cmake make g++ libgtest-dev util-linux acl strace btrfs-progs valgrind dpkg-dev file ;;
    clang) echo cmake make g++ clang-14 libgtest-dev ;;
    aarch64) echo cmake make g++ g++-aarch64-linux-gnu googletest qemu-user util-linux acl strace btrfs-progs file ;;
    sanitize) echo cmake make g++ libgtest-dev util-linux acl strace btrfs-progs dpkg-dev file ;;
    fuzz) sh scripts/fuzz.sh --packages ;;
    lint) sh scripts/lint.sh --packages ;;
    package) sh scripts/package_check.sh --packages ;;
    powercut) ;;
  esac
}

logs="$top/build-logs"
mkdir -p "$logs"
packages=$(for stage in $stages; do stage_packages "$stage"; done | tr ' ' '\n' | sort -u | tr '\n' ' ')
# shellcheck disable=SC2086
sh scripts/install-deps.sh $packages

# The stages. A ctest stage leaves its JUnit report in $junit, where the
# counts and the skips' reasons are read from: ctest itself exits 0 with
# skipped tests.
stage_native() {
  cmake --preset native >/dev/null &&
    cmake --build --preset native &&
    ctest --preset native --output-junit "$junit"
}

# Only built: clang's warnings at -O3 differ from g++'s.
stage_clang() {
  cmake --preset clang >/dev/null &&
    cmake --build --preset clang
}

stage_aarch64() {
  cmake --preset aarch64 >/dev/null &&
    cmake --build --preset aarch64 &&
    file build-aarch64/tal-setconf &&
    echo "device binary: $(stat -c %s build-aarch64/tal-setconf) bytes" &&
    ctest --preset aarch64 --output-junit "$junit"
}

stage_sanitize() {
  cmake --preset sanitize >/dev/null &&
    cmake --build --preset sanitize &&
    ctest --preset sanitize --output-junit "$junit"
}

stage_fuzz() { sh scripts/fuzz.sh 45; }

stage_lint() { sh scripts/lint.sh; }

stage_package() { sh scripts/package_check.sh; }

stage_powercut() {
  if [ ! -f scripts/powercut.sh ]; then
    echo "FAIL: scripts/powercut.sh is not in this tree: the power-cut proof cannot run"
    return 1
  fi
  sh scripts/powercut.sh
}

# junit_counts FILE: prints "TESTS FAILED SKIPPED" from ctest's report.
junit_counts() {
  sed -n '/<testsuite/,/>/p' "$1" | tr -s ' \t\n' '\n' | awk -F'"' '
    /^tests=/ { tests = $2 } /^failures=/ { failed = $2 }
    /^skipped=/ { skipped += $2 } /^disabled=/ { skipped += $2 }
    END { print tests + 0, failed + 0, skipped + 0 }'
}

# junit_skip_reasons FILE: one line per skipped test, its reason: the line
# after GoogleTest's "FILE:LINE: Skipped", or a script's "Skipped: REASON".
junit_skip_reasons() {
  awk '
    /<testcase / { skipped = (index($0, "status=\"notrun\"") > 0); reason = ""; next_is = 0 }
    { line = $0; sub(/^[ \t]*<system-out>/, "", line) }
    skipped && next_is { reason = line; next_is = 0 }
    skipped && line ~ /: Skipped$/ { next_is = 1 }
    skipped && line ~ /^Skipped: / { reason = substr(line, 10) }
    /<\/testcase>/ && skipped { print (reason == "" ? "(no reason given)" : reason); skipped = 0 }
  ' "$1" | sed 's/&apos;/'"'"'/g; s/&quot;/"/g; s/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g'
}

table="$logs/table.txt"
printf '%-10s %7s %7s %7s %8s  %s\n' stage time passed failed skipped result > "$table"
total_passed=0
total_failed=0
total_skipped=0
failed_stages=""
for stage in $stages; do
  log="$logs/$stage.log"
  junit="$logs/$stage.xml"
  rm -f "$junit"
  start=$(date +%s)
  status=0
  "stage_$stage" > "$log" 2>&1 < /dev/null || status=$?
  seconds=$(($(date +%s) - start))

  if [ -f "$junit" ]; then
    # shellcheck disable=SC2046
    set -- $(junit_counts "$junit")
    passed=$(($1 - $2 - $3))
    failed=$2
    skipped=$3
    junit_skip_reasons "$junit" > "$logs/$stage.skips"
  else
    # A plain script ends with "N passed, N failed[, N skipped]" when it
    # counts its checks; one that does not counts as one check.
    counts=$(grep -E '^([a-z-]+: )?[0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1 |
      sed -E 's/^([a-z-]+: )?([0-9]+) passed, ([0-9]+) failed(, ([0-9]+) skipped)?.*/\2 \3 \5/')
    if [ -n "$counts" ]; then
      # shellcheck disable=SC2086
      set -- $counts 0
      passed=$1
      failed=$2
      skipped=$3
    elif [ "$status" = 0 ]; then
      passed=1 failed=0 skipped=0
    else
      passed=0 failed=0 skipped=0
    fi
    sed -n 's/^Skipped: //p' "$log" > "$logs/$stage.skips"
  fi
  # A stage that failed outside its tests (configure, build) counts once.
  [ "$status" = 0 ] || [ "$failed" != 0 ] || failed=1

  result=passed
  [ "$skipped" = 0 ] || result="passed, skips allowed"
  if [ "$status" != 0 ] || [ "$failed" != 0 ]; then
    result=FAILED
  elif [ "$skipped" != 0 ] && [ "${TAL_ALLOW_SKIPS:-}" != 1 ]; then
    result="FAILED: $skipped skipped"
  fi
  echo "$stage: $result ($passed passed, $failed failed, $skipped skipped, $seconds s)"
  if [ "$skipped" != 0 ]; then
    sort "$logs/$stage.skips" | uniq -c | sed 's/^ *\([0-9]*\) /  skipped \1: /'
    [ "${TAL_ALLOW_SKIPS:-}" = 1 ] ||
      echo "  a skip is no pass: give this machine what the tests need, or set TAL_ALLOW_SKIPS=1"
  fi
  case $result in
    FAILED*)
      failed_stages="$failed_stages $stage"
      if [ "$status" != 0 ] || [ "$failed" != 0 ]; then
        echo "--- $log"
        cat "$log"
        echo "--- end of $log"
      fi
      ;;
  esac
  printf '%-10s %5s s %7s %7s %8s  %s\n' "$stage" "$seconds" "$passed" "$failed" "$skipped" \
    "$result" >> "$table"
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  total_skipped=$((total_skipped + skipped))
done

echo
cat "$table"
count=$(echo "$stages" | wc -w)
bad=$(echo "$failed_stages" | wc -w)
echo "stages: $((count - bad)) passed, $bad failed"
echo "tests: $total_passed passed, $total_failed failed, $total_skipped skipped"
[ -z "$failed_stages" ] || exit 1
