#!/bin/sh
# Times a full run of the release tool against the floor (the work a store
# cannot avoid: bench/floor.cpp) and against a shell script a user might
# write instead, on settings files of 4 KB to 10 MB, and reports the tool's
# peak memory. Everything runs in the sandbox (tests/sandbox.sh) over a root
# on this disk (not tmpfs), so the syncs cost what they cost. Needs root.
# Not a test: it prints a table and fails only when it cannot run.
# usage: bench/run.sh [SIZE...]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
sizes=${*:-4096 65536 1048576 10485760}
sh scripts/install-deps.sh cmake g++ make hyperfine time util-linux coreutils gawk
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j2 --target tal-setconf >/dev/null
g++ -std=c++20 -O2 -Wall -Wextra -Werror bench/floor.cpp -o build-bench/floor

root="$top/build-bench/root"
rm -rf "$root"
. tests/device_root.sh
device_root_layout "$root" build-bench/tal-setconf pim_sm ospf
cp build-bench/floor bench/shell_equivalent.sh "$root/bin/"
cp /bin/true "$root/sbin/hash_generate"  # a trivial hash tool
printf 'ip pim rp-address 10.0.0.1 224.0.0.0/4\nip pim spt-switchover infinity\n' > "$root/in.txt"
echo "filesystem of the settings: $(df -T "$root" | awk 'NR == 2 { print $2 }')"

median() { awk -F, -v name="$2" '$1 == name { printf "%.2f", $4 * 1000 }' "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo
echo "| settings | tool pim_sm (ms) | tool ospf (ms) | floor (ms) | pim_sm / floor | ospf / floor | floor, fresh copy (ms) | shell script (ms) | tool peak RSS (KB) |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for size in $sizes; do
  sh bench/make_settings.sh "$size" > "$root/opt/tal/etc/settings"
  sh tests/sandbox.sh "$root" hyperfine -N --style none --warmup 3 --min-runs 15 \
    --export-csv "$root/times.csv" \
    -n pim_sm './bin/tal-setconf-pim_sm ./in.txt' \
    -n ospf './bin/tal-setconf-ospf ./in.txt' \
    -n floor './bin/floor' \
    -n fresh './bin/floor --fresh-copy' \
    -n shell './bin/shell_equivalent.sh OSPF ./in.txt' >/dev/null
  sh tests/sandbox.sh "$root" /usr/bin/time -f '%M' -o ./rss.txt ./bin/tal-setconf-pim_sm ./in.txt
  pim=$(median "$root/times.csv" pim_sm)
  ospf=$(median "$root/times.csv" ospf)
  floor=$(median "$root/times.csv" floor)
  fresh=$(median "$root/times.csv" fresh)
  shell=$(median "$root/times.csv" shell)
  echo "| $(numfmt --to=iec "$size")B | $pim | $ospf | $floor | $(ratio "$pim" "$floor") | $(ratio "$ospf" "$floor") | $fresh | $shell | $(cat "$root/rss.txt") |"
done

# Peak memory with one very long line (not the section's): the reader holds
# one line at a time, so this follows the line, not the file.
long=${TAL_BENCH_LONG_LINE:-209715200}
{
  printf 'MOD_TAL_OSPF_ENABLED=1\nLONG='
  head -c "$long" /dev/zero | tr '\0' v
  printf '\nMOD_TAL_PIM_SM_ENABLED=1\n'
} > "$root/opt/tal/etc/settings"
sh tests/sandbox.sh "$root" /usr/bin/time -f '%M' -o ./rss.txt ./bin/tal-setconf-pim_sm ./in.txt
echo
echo "one line of $(numfmt --to=iec "$long")B: tool peak RSS $(cat "$root/rss.txt") KB" \
  "($(awk -v kb="$(cat "$root/rss.txt")" -v line="$long" 'BEGIN { printf "%d", kb - line / 1024 }') KB over the line)"
rm -f "$root/opt/tal/etc/settings"
