#!/bin/sh
# Builds tal-setconf and runs every test. End-to-end tests need root (a
# private mount namespace); elsewhere they skip and say so.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
sh "$top/scripts/install-deps.sh" cmake g++ make libgtest-dev util-linux coreutils tar
cmake -S "$top" -B "$top/build" -DBUILD_TESTING=ON >/dev/null
cmake --build "$top/build" -j2
cd "$top/build"
ctest -j2 --output-on-failure
