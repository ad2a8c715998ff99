#!/bin/sh
# Every function of src/ reaches the shipped binary: code that only tests or
# the fuzz target use belongs beside them. Builds the tool unstripped, with
# each function in a section of its own and nothing inlined, lets the linker
# drop every section nothing reaches (--gc-sections), and lists the global
# functions (nm: T) of the library's objects that are not in the binary.
# Template instantiations of the standard library are weak, not T, so they
# are not listed.
# usage: scripts/shipped_check.sh   (prints what is missing; exit 1 if any)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build="build-shipped"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTAL_SETCONF_STRIP=OFF \
  -DCMAKE_CXX_FLAGS="-ffunction-sections -fno-inline" \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,--gc-sections" >/dev/null
cmake --build "$build" -j2 --target tal-setconf >/dev/null
nm --defined-only "$build/libtal_setconf_core.a" | awk '$2 == "T" { print $3 }' | sort -u \
  >"$build/library.txt"
nm --defined-only "$build/tal-setconf" | awk '{ print $3 }' | sort -u >"$build/binary.txt"
comm -23 "$build/library.txt" "$build/binary.txt" >"$build/unshipped.txt"
echo "$(wc -l <"$build/library.txt") global functions in src/, $(wc -l <"$build/unshipped.txt") not in the binary"
if [ -s "$build/unshipped.txt" ]; then
  c++filt <"$build/unshipped.txt" | sed 's/^/  not shipped: /'
  exit 1
fi
