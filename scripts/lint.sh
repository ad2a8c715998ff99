#!/bin/sh
# Static checks: clang-format, clang-tidy (.clang-tidy) and cppcheck over the
# sources; any finding fails.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
sh scripts/install-deps.sh cmake g++ clang-format clang-tidy cppcheck libgtest-dev shellcheck
status=0
# The tracked sources in a checkout; every source under the tree's own
# folders in a tarball without .git.
files=$(git ls-files -co --exclude-standard '*.cpp' '*.h' 2>/dev/null ||
  find src tests fuzz bench -name '*.cpp' -o -name '*.h')
echo "--- clang-format"
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files || status=1
echo "--- clang-tidy"
cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=ON >/dev/null
if ! run-clang-tidy-14 -quiet -p build-lint "$top/src/" >build-lint/tidy.log 2>&1 ||
  grep -E ' (warning|error): ' build-lint/tidy.log; then
  grep -E ' (warning|error): ' build-lint/tidy.log || tail -20 build-lint/tidy.log
  status=1
fi
echo "--- shellcheck"
shellcheck -x -s sh .ci/run scripts/*.sh tests/*.sh tests/powercut/*.sh bench/*.sh || status=1
echo "--- cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++20 --inline-suppr \
  --suppress=unusedStructMember --error-exitcode=1 --quiet -I src src || status=1
[ "$status" = 0 ] && echo "lint: no findings"
exit "$status"
