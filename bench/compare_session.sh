#!/bin/sh
# The part of bench/compare.sh that runs inside the sandbox, from the root
# it laid out (the current directory): bin/static and bin/dynamic each hold
# floor and the two builds under before/ and after/ (tal-setconf with its
# links tal-setconf-pim_sm and tal-setconf-ospf); bin/ holds interleave and
# make_settings.sh.
#
# usage: compare_session.sh times LINK ORDER WARMUP ROUNDS LINE SIZE...
#          for each SIZE, a settings file of LINE-byte lines, then rounds of
#          floor, before pim_sm, after pim_sm, floor, before ospf, after ospf
#          (LINK: static or dynamic), every second round in reverse order
#          unless ORDER is fixed; prints "SIZE NAME MEDIAN MIN MAX N"
#          (ms), "SIZE size BYTES" and "SIZE same SECTION" once both builds
#          were seen to write the same bytes
#        compare_session.sh callgrind LINE SIZE
#          one store per build and section under callgrind (static builds);
#          prints "callgrind BUILD SECTION INSTRUCTIONS" and "size BYTES"
#        compare_session.sh strace LINE SIZE
#          one pim_sm store per static build and one floor run under
#          strace -f, into trace/NAME.txt
#        compare_session.sh loader ROUNDS
#          rounds of a run that stops at its usage check (tal-setconf-ospf
#          with no argument), static and dynamic, every second round in
#          reverse order; prints "NAME MEDIAN MIN MAX N"
set -eu
settings=/opt/tal/etc/settings
mode=$1
shift

# new_settings LINE SIZE: a fresh settings file, on the disk, then one store
# of each section by each build, so that every later store leaves it as it is.
new_settings() {
  sh ./bin/make_settings.sh "$2" "$1" > "$settings"
  sync "$settings"
  for build in before after; do
    for section in pim_sm ospf; do
      "./bin/static/$build/tal-setconf-$section" ./in.txt
    done
  done
}

case $mode in
  times)
    link=$1 order=$2 warmup=$3 rounds=$4 line=$5
    shift 5
    bin=./bin/$link
    balance=-b
    [ "$order" != fixed ] || balance=""
    for size in "$@"; do
      sh ./bin/make_settings.sh "$size" "$line" > "$settings"
      sync "$settings"
      # shellcheck disable=SC2086 # $balance: an option or none
      ./bin/interleave $balance -w "$warmup" -r "$rounds" -s "$settings" \
        "floor $bin/floor" \
        "before_pim_sm $bin/before/tal-setconf-pim_sm ./in.txt" \
        "after_pim_sm $bin/after/tal-setconf-pim_sm ./in.txt" \
        "floor $bin/floor" \
        "before_ospf $bin/before/tal-setconf-ospf ./in.txt" \
        "after_ospf $bin/after/tal-setconf-ospf ./in.txt" > ./interleave.out
      sed "s/^/$size /" ./interleave.out
      for section in pim_sm ospf; do
        "$bin/before/tal-setconf-$section" ./in.txt
        before=$(cksum < "$settings")
        "$bin/after/tal-setconf-$section" ./in.txt
        [ "$(cksum < "$settings")" = "$before" ] || {
          echo "compare_session: before and after write different files for $section" >&2
          exit 1
        }
        echo "$size same $section"
      done
    done
    ;;
  callgrind)
    new_settings "$1" "$2"
    rm -rf callgrind && mkdir callgrind
    for build in before after; do
      for section in pim_sm ospf; do
        valgrind --tool=callgrind --cache-sim=no --trace-children=no --vgdb=no \
          --callgrind-out-file="./callgrind/$build-$section.%p.out" \
          --log-file="./callgrind/$build-$section.log" \
          "./bin/static/$build/tal-setconf-$section" ./in.txt
        # The tool's own line: its pid is the first one in the log.
        awk -v build="$build" -v section="$section" '
          NR == 1 { pid = $1 }
          $1 == pid && /Collected :/ { gsub(",", "", $NF); print "callgrind", build, section, $NF }
        ' "./callgrind/$build-$section.log"
      done
    done
    echo "size $(wc -c < "$settings")"
    ;;
  strace)
    new_settings "$1" "$2"
    ./bin/static/floor
    rm -rf trace && mkdir trace
    for build in before after; do
      strace -f -o "./trace/$build.txt" "./bin/static/$build/tal-setconf-pim_sm" ./in.txt
    done
    strace -f -o ./trace/floor.txt ./bin/static/floor
    ;;
  loader)
    ./bin/interleave -b -x 1 -w 20 -r "$1" \
      "before_static ./bin/static/before/tal-setconf-ospf" \
      "before_dynamic ./bin/dynamic/before/tal-setconf-ospf" \
      "after_static ./bin/static/after/tal-setconf-ospf" \
      "after_dynamic ./bin/dynamic/after/tal-setconf-ospf"
    ;;
  *)
    echo "compare_session: unknown mode $mode" >&2
    exit 64
    ;;
esac
