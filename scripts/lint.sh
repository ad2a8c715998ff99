#!/bin/sh
# Static checks: clang-format, clang-tidy (.clang-tidy) and cppcheck over the
# sources, shellcheck over the scripts, and every function of src/ in the
# shipped binary (scripts/shipped_check.sh); any finding fails.
# usage: scripts/lint.sh [--packages]   (--packages: the Debian packages it needs)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
packages="cmake make g++ binutils clang-format clang-tidy cppcheck libgtest-dev shellcheck"
[ "${1:-}" != --packages ] || { echo "$packages"; exit 0; }
# shellcheck disable=SC2086
sh scripts/install-deps.sh $packages
passed=0
failed=0
# tally CHECK STATUS
tally() {
  if [ "$2" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)) && echo "FAIL: $1"; fi
}
# The tracked sources in a checkout; every source under the tree's own
# folders in a tarball without .git.
files=$(git ls-files -co --exclude-standard '*.cpp' '*.h' 2>/dev/null ||
  find src tests fuzz bench -name '*.cpp' -o -name '*.h')
echo "--- clang-format"
status=0
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files || status=1
tally clang-format "$status"
echo "--- clang-tidy"
status=0
cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=ON >/dev/null
if ! run-clang-tidy-14 -quiet -p build-lint "$top/src/" >build-lint/tidy.log 2>&1 ||
  grep -E ' (warning|error): ' build-lint/tidy.log; then
  grep -E ' (warning|error): ' build-lint/tidy.log || tail -20 build-lint/tidy.log
  status=1
fi
tally clang-tidy "$status"
echo "--- shellcheck"
status=0
shellcheck -x -s sh .ci/run scripts/*.sh tests/*.sh tests/powercut/*.sh tests/differential/*.sh bench/*.sh || status=1
tally shellcheck "$status"
echo "--- cppcheck"
status=0
cppcheck --enable=warning,style,performance,portability --std=c++20 --inline-suppr \
  --suppress=unusedStructMember --error-exitcode=1 --quiet -I src src || status=1
tally cppcheck "$status"
echo "--- every function of src/ shipped"
status=0
sh scripts/shipped_check.sh || status=1
tally shipped "$status"
echo "lint: $passed passed, $failed failed"
[ "$failed" = 0 ]
