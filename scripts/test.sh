#!/bin/sh
# Builds tal-setconf and runs every test: natively (with a memcheck run),
# for the router (AArch64, static) under qemu-user, under AddressSanitizer
# and UndefinedBehaviorSanitizer, the fuzzer for 60 s, and the static checks.
# End-to-end tests need root (a private mount namespace); elsewhere they skip
# and say so.
# usage: scripts/test.sh [native] [aarch64] [sanitize] [fuzz] [lint]   (all when none is named)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
stages=${*:-native aarch64 sanitize fuzz lint}

sh scripts/install-deps.sh cmake g++ make libgtest-dev googletest util-linux coreutils tar file \
  g++-aarch64-linux-gnu qemu-user valgrind acl

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

aarch64() {
  # The emulated tool starts programs of this machine, so the probe that
  # stands in for them comes from the native build.
  cmake --preset native >/dev/null && cmake --build --preset native --target fd_probe &&
    cmake --preset aarch64 -DTAL_TEST_HOST_PROBE="$top/build/tests/fd_probe" >/dev/null &&
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

fuzz() { sh scripts/fuzz.sh 60; }

lint() { sh scripts/lint.sh; }

for stage in $stages; do
  run_stage "$stage" "$stage"
done
total=$(echo $stages | wc -w)
bad=$(echo $failed | wc -w)
echo "stages: $((total - bad)) passed, $bad failed"
if [ -n "$failed" ]; then
  echo "failed stages:$failed"
  exit 1
fi
