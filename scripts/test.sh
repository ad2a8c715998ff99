#!/bin/sh
# Builds tal-setconf and runs every test: natively (Release, g++, with a
# memcheck run), a Release build with clang++, for the router (AArch64,
# static-pie) under qemu-user, under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzzer for 45 s, the static checks, and the
# package checks (lintian, hardening, reproducible builds). End-to-end tests
# need root (a private mount namespace); elsewhere they skip and say so.
# usage: scripts/test.sh [native] [clang] [aarch64] [sanitize] [fuzz] [lint] [package]
#        (all when none is named)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
stages=${*:-native clang aarch64 sanitize fuzz lint package}

sh scripts/install-deps.sh cmake g++ clang-14 make libgtest-dev googletest util-linux coreutils \
  tar file g++-aarch64-linux-gnu qemu-user valgrind acl dpkg-dev

failed=""
run_stage() {
  name=$1
  shift
  start=$(date +%s)
  echo "=== $name ==="
  if "$@"; then
    echo "=== $name: passed in $(($(date +%s) - start)) s ==="
  else
    echo "=== $name: FAILED after $(($(date +%s) - start)) s ==="
    failed="$failed $name"
  fi
}

native() {
  cmake --preset native >/dev/null &&
    cmake --build --preset native &&
    ctest --preset native
}

# Only built: clang's warnings at -O3 differ from g++'s.
clang() {
  cmake --preset clang >/dev/null &&
    cmake --build --preset clang
}

aarch64() {
  cmake --preset aarch64 >/dev/null &&
    cmake --build --preset aarch64 &&
    file build-aarch64/tal-setconf &&
    echo "device binary: $(stat -c %s build-aarch64/tal-setconf) bytes" &&
    ctest --preset aarch64
}

sanitize() {
  cmake --preset sanitize >/dev/null &&
    cmake --build --preset sanitize &&
    ctest --preset sanitize
}

fuzz() { sh scripts/fuzz.sh 45; }

lint() { sh scripts/lint.sh; }

package() { sh scripts/package_check.sh; }

for stage in $stages; do
  run_stage "$stage" "$stage"
done
total=$(echo "$stages" | wc -w)
bad=$(echo "$failed" | wc -w)
echo "stages: $((total - bad)) passed, $bad failed"
if [ -n "$failed" ]; then
  echo "failed stages:$failed"
  exit 1
fi
