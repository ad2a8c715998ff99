#!/bin/sh
# Checks the Debian packages as a packager would: builds the router's (arm64)
# and this machine's package from two clean copies of the tree at different
# paths, under umask 022 and 002, one a git repository with a commit made
# now and one without .git, and requires byte-identical packages; runs
# lintian on them; checks that the binaries are hardened (PIE or static-pie,
# stack protector, stack clash protection, fortify, control-flow markers,
# RELRO, BIND_NOW) and the router's is one file under 1 MB; checks the
# static package's Built-Using and licences; and checks that package.sh
# reads the architecture from the binary and refuses a binary it cannot
# resolve, which an integrator's toolchain file builds unstripped.
# usage: scripts/package_check.sh [--packages]   (--packages: the Debian packages it needs)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
packages="cmake make g++ g++-aarch64-linux-gnu dpkg-dev lintian devscripts file binutils git"
[ "${1:-}" != --packages ] || { echo "$packages"; exit 0; }
# shellcheck disable=SC2086
sh scripts/install-deps.sh $packages
work=$(mktemp -d "$top/build-package-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
ok() { passed=$((passed + 1)) && echo "ok: $*"; }
fail() { failed=$((failed + 1)) && echo "FAIL: $*"; }

# Two copies of the sources as a tarball would hold them (no .git, no builds);
# the second becomes a git repository whose only commit is dated now, so a
# date taken from git instead of packaging/changelog would show.
files=$(git ls-files -co --exclude-standard 2>/dev/null ||
  find . -path ./build\* -prune -o -path ./.git -prune -o -type f -print)
tree_a="$work/a/src"
tree_b="$work/copy-number-two/tal-setconf-1.0.0"
for tree in "$tree_a" "$tree_b"; do
  mkdir -p "$tree"
  # shellcheck disable=SC2086
  tar -cf - $files | tar -C "$tree" -xf -
done
(
  cd "$tree_b"
  git init -q
  git add -A
  git -c user.name=check -c user.email=check@localhost commit -q -m "a commit of today"
)

build() {  # build TREE UMASK OUT
  (
    umask "$2"
    cd "$1"
    for preset in release aarch64-package; do
      cmake --preset "$preset" >/dev/null
      cmake --build --preset "$preset" >/dev/null
      sh scripts/package.sh "build-$preset" "$3" >/dev/null
    done
  )
}
build "$tree_a" 022 "$work/out-a"
build "$tree_b" 002 "$work/out-b"

echo "--- reproducible, with and without git"
for deb in "$work"/out-a/*.deb; do
  name=$(basename "$deb")
  if cmp -s "$deb" "$work/out-b/$name"; then
    ok "$name: identical, sha256 $(sha256sum < "$deb" | cut -c1-16)…, $(stat -c %s "$deb") bytes"
  else
    fail "$name differs between the two builds"
  fi
done
router_deb="$work/out-a/tal-setconf_1.0.0_arm64.deb"
native_deb="$work/out-a/tal-setconf_1.0.0_$(dpkg --print-architecture).deb"

echo "--- lintian"
# shellcheck disable=SC2046
if lintian --fail-on error --info $(ls "$work"/out-a/*.deb); then ok lintian; else fail lintian; fi

echo "--- hardening"
native="$tree_a/build-release/tal-setconf"
# Two exclusions, checked another way below. --nocfprotection: Debian 12's
# start files carry no IBT/SHSTK property note, so no binary linked with them
# can claim control-flow protection. --nofortify: when every call could be
# checked at compile time, hardening-check reads "only unprotected functions
# found".
if hardening-check --nocfprotection --nofortify "$native"; then
  ok hardening-check
else
  fail hardening-check
fi
# Every global function of ours starts with the indirect-branch landing pad.
# Functions are matched by address (aliases such as a C1 and a C2
# constructor share one label); _start, _init and _fini come from glibc's
# start files, built without it.
objdump -d --no-show-raw-insn "$native" |
  awk '/^[0-9a-f]+ <[^>]+>:$/ { address = $1; getline; print address, $2 }' | sort -u > "$work/starts"
nm --defined-only -g "$native" |
  awk '($2 == "T" || $2 == "W") && $3 !~ /^_(start|init|fini)$/ { print $1, $3 }' | sort > "$work/functions"
join "$work/functions" "$work/starts" > "$work/function-starts"
functions=$(wc -l < "$work/function-starts")
without=$(awk '$3 != "endbr64" { printf " %s", $2 }' "$work/function-starts")
if [ "$functions" -gt 20 ] && [ -z "$without" ]; then
  ok "endbr64 at the start of all $functions global functions"
else
  fail "global functions without endbr64 (of $functions):$without"
fi
# The router's binary is stripped, and hardening-check cannot see fortify in a
# binary whose calls were all checked at compile time: the compile commands
# tell instead.
for build in build-release build-aarch64-package; do
  commands="$tree_a/$build/compile_commands.json"
  total=$(grep -c '"command"' "$commands")
  for flag in -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection; do
    if [ "$(grep '"command"' "$commands" | grep -c -- "$flag")" = "$total" ]; then
      ok "$build: $flag in all $total compile commands"
    else
      fail "not every compile of $build has $flag"
    fi
  done
done
if [ "$(grep '"command"' "$tree_a/build-release/compile_commands.json" | grep -c -- -fcf-protection)" -gt 0 ]; then
  ok "build-release: -fcf-protection"
else
  fail "build-release: no -fcf-protection"
fi
router="$tree_a/build-aarch64-package/tal-setconf"
file "$router"
if file "$router" | grep -q "ARM aarch64.*static-pie linked.*stripped"; then
  ok "router binary static-pie, stripped"
else
  fail "router binary not static-pie and stripped"
fi
if readelf -lW "$router" | grep -q GNU_RELRO && readelf -dW "$router" | grep -Eq 'BIND_NOW|FLAGS.*NOW'; then
  ok "router binary: RELRO, BIND_NOW"
else
  fail "router binary: no RELRO or no BIND_NOW"
fi
size=$(stat -c %s "$router")
if [ "$size" -lt 1048576 ]; then ok "router binary: $size bytes"; else fail "router binary over 1 MB: $size bytes"; fi

echo "--- time stamps"
# The changelog's newest entry, read by GNU date here rather than by the
# build's own reader.
trailer_date=$(sed -n 's/^ -- .*>  //p' packaging/changelog | head -n 1)
expected=$(date -u -d "$trailer_date" '+%Y-%m-%d %H:%M')
stamps=$(dpkg-deb --fsys-tarfile "$router_deb" | TZ=UTC tar -tvf - --full-time |
  awk '{ print $4, substr($5, 1, 5) }' | sort -u)
if [ "$stamps" = "$expected" ]; then
  ok "every file dated $expected, the changelog's newest entry"
else
  fail "files dated $(echo "$stamps" | tr '\n' ' '), not $expected ($trailer_date)"
fi

echo "--- what the static package embeds"
built_using=$(dpkg-deb -f "$router_deb" Built-Using)
echo "Built-Using: $built_using"
for embedded in libc6-dev-arm64-cross libstdc++-12-dev-arm64-cross; do
  source=$(dpkg-query -W -f='${source:Package} (= ${source:Version})' "$embedded")
  case ", $built_using, " in
    *", $source, "*) ok "Built-Using names $source ($embedded)" ;;
    *) fail "Built-Using lacks $source ($embedded)" ;;
  esac
done
for source in glibc gcc-12; do
  if echo "$built_using" | grep -Eq "(^|, )$source \(= [^)]+\)"; then
    ok "Built-Using names $source"
  else
    fail "Built-Using lacks $source"
  fi
done
if [ -z "$(dpkg-deb -f "$native_deb" Built-Using)" ]; then
  ok "no Built-Using in the dynamic package"
else
  fail "Built-Using in the dynamic package"
fi
dpkg-deb -x "$router_deb" "$work/router-root"
dpkg-deb -x "$native_deb" "$work/native-root"
licences="$work/router-root/usr/share/doc/tal-setconf/copyright"
if grep -q '^License: Expat and LGPL-2.1+ and GPL-3+ with GCC-exception-3.1$' "$licences" &&
  grep -q '^License: GPL-3+ with GCC-exception-3.1$' "$licences" &&
  grep -q '^License: LGPL-2.1+$' "$licences"; then
  ok "router copyright names the embedded licences"
else
  fail "router copyright lacks the embedded libraries' licences"
fi
if grep -q 'LGPL' "$work/native-root/usr/share/doc/tal-setconf/copyright"; then
  fail "native copyright names libraries it does not embed"
else
  ok "native copyright: Expat only"
fi

echo "--- builds that are not the presets'"
# A cross compiler given without a toolchain file: CMake takes the build
# machine's processor, the package must take the binary's.
cross="$work/cross-static"
cmake -S "$tree_a" -B "$cross" -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DTAL_LINK_STATIC=ON \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
cmake --build "$cross" -j2 --target tal-setconf >/dev/null
if deb=$(sh scripts/package.sh "$cross" "$work/out-cross" 2>"$work/cross.err") &&
  [ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ]; then
  ok "cross compiler without toolchain file: $(basename "$deb")"
else
  cat "$work/cross.err"
  fail "cross compiler without toolchain file: not an arm64 package"
fi
# An integrator's toolchain file, dynamic, with debug info: the binary keeps
# its symbols, and package.sh, which cannot resolve its libraries here,
# refuses it with dpkg-shlibdeps's reason.
cat > "$work/integrator.cmake" <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
TOOLCHAIN
integrator="$work/integrator"
cmake -S "$tree_a" -B "$integrator" -DCMAKE_TOOLCHAIN_FILE="$work/integrator.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$integrator" -j2 --target tal-setconf >/dev/null
sections=$(readelf -SW "$integrator/tal-setconf")
if echo "$sections" | grep -q ' \.symtab ' && echo "$sections" | grep -q ' \.debug_info '; then
  ok "integrator's toolchain file: symbols and debug info kept"
else
  fail "integrator's toolchain file: binary stripped"
fi
if sh scripts/package.sh "$integrator" "$work/out-integrator" >/dev/null 2>"$work/integrator.err"; then
  fail "package.sh packaged a dynamic binary whose libraries it cannot resolve"
elif grep -q "dpkg-shlibdeps: error: cannot find library" "$work/integrator.err" &&
  grep -q "neither static nor resolvable" "$work/integrator.err" &&
  [ -z "$(ls "$work/out-integrator" 2>/dev/null)" ]; then
  ok "package.sh refuses an unresolvable dynamic binary: $(tail -n 1 "$work/integrator.err")"
else
  cat "$work/integrator.err"
  fail "package.sh failed without dpkg-shlibdeps's reason"
fi

# A special section's name among the generic ones: a configure error that
# says what is wrong, not that vrf1 contains itself.
if cmake -S "$tree_a" -B "$work/special" -DBUILD_TESTING=OFF -DTAL_SETCONF_SECTIONS="ospf;vrf1" \
  > "$work/special.log" 2>&1; then
  fail "TAL_SETCONF_SECTIONS=ospf;vrf1 configured"
elif grep -q "'vrf1' is a special section" "$work/special.log"; then
  ok "TAL_SETCONF_SECTIONS=ospf;vrf1: configure says vrf1 is a special section"
else
  cat "$work/special.log"
  fail "TAL_SETCONF_SECTIONS=ospf;vrf1 failed without saying why"
fi

echo "package: $passed passed, $failed failed"
[ "$failed" = 0 ]
