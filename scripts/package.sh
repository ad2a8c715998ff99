#!/bin/sh
# Builds the Debian package of tal-setconf from a configured build directory
# (for the router: preset aarch64-package; for this machine: preset release
# or any build with BUILD_TESTING=OFF), with dpkg-deb from the install tree.
# CPack is not used: it counts every link at the binary's size in
# Installed-Size, and offers no way to gzip the man page or add its links.
#
# What the package says comes from the binary itself, not from the machine
# that builds it: the architecture from its ELF header, and either "needs no
# library" (no interpreter, no NEEDED entry) or the Depends that
# dpkg-shlibdeps resolves. A binary it cannot describe truly is refused
# rather than packaged wrong: an unknown machine, a dynamic binary whose
# libraries dpkg-shlibdeps cannot resolve (a foreign sysroot), a static one
# whose C library or compiler runtime belongs to no Debian package (no true
# Built-Using).
#
# Reproducible: every time stamp is SOURCE_DATE_EPOCH (set by the configure
# step from packaging/changelog), modes do not depend on the umask, and
# owners are root.
#
# usage: scripts/package.sh BUILD_DIR [OUT_DIR]   (prints the package's path)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
refuse() {
  echo "package.sh: $*" >&2
  exit 1
}
if [ $# -lt 1 ] || [ ! -f "$1/CMakeCache.txt" ]; then
  refuse "usage: package.sh BUILD_DIR [OUT_DIR], BUILD_DIR configured by cmake"
fi
build=$(cd "$1" && pwd)
out=$(mkdir -p "${2:-$build}" && cd "${2:-$build}" && pwd)
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
for tool in readelf dpkg-deb dpkg-query gzip; do
  command -v "$tool" >/dev/null || refuse "needs $tool (Debian packages binutils, dpkg, gzip)"
done

cmake --build "$build" --target tal-setconf >/dev/null
binary="$build/tal-setconf"
version=$(cache_value CMAKE_PROJECT_VERSION)
SOURCE_DATE_EPOCH=$(cache_value TAL_SOURCE_DATE_EPOCH)
export SOURCE_DATE_EPOCH

# The Debian architecture of the binary's machine and ABI.
header=$(LC_ALL=C readelf -hW "$binary") || refuse "$binary is not an ELF file"
machine=$(echo "$header" | sed -n 's/^ *Machine: *//p')
class=$(echo "$header" | sed -n 's/^ *Class: *//p')
flags=$(echo "$header" | sed -n 's/^ *Flags: *//p')
case "$machine/$class" in
  AArch64/ELF64) arch=arm64 ;;
  "Advanced Micro Devices X86-64/ELF64") arch=amd64 ;;
  "Intel 80386/ELF32") arch=i386 ;;
  ARM/ELF32)
    case $flags in
      *hard-float*) arch=armhf ;;
      *) arch=armel ;;
    esac
    ;;
  RISC-V/ELF64) arch=riscv64 ;;
  "IBM S/390/ELF64") arch=s390x ;;
  PowerPC64/ELF64)
    echo "$header" | grep -q 'little endian' || refuse "big-endian PowerPC64 is no Debian architecture"
    arch=ppc64el
    ;;
  *) refuse "cannot tell the Debian architecture of $binary ($machine, $class)" ;;
esac

# Static (nothing to load) or dynamic (an interpreter and NEEDED libraries).
interpreter=$(LC_ALL=C readelf -lW "$binary" | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
needed=$(LC_ALL=C readelf -dW "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | tr '\n' ' ' | sed 's/ $//')
if [ -z "$interpreter" ] && [ -z "$needed" ]; then static=yes; else static=no; fi

stage=$(mktemp -d "$build/package-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT

depends=""
built_using=""
if [ "$static" = no ]; then
  command -v dpkg-shlibdeps >/dev/null ||
    refuse "$binary is linked dynamically ($needed): dpkg-shlibdeps (package dpkg-dev) is needed for Depends"
  # The shared libraries the binary links, as the packages that hold them;
  # its errors (a library of no installed package) stop the package.
  mkdir -p "$stage/debian" "$stage/bin"
  printf 'Source: tal-setconf\n\nPackage: tal-setconf\nArchitecture: any\n' > "$stage/debian/control"
  cp "$binary" "$stage/bin/tal-setconf"
  if ! shlibdeps=$(cd "$stage" && dpkg-shlibdeps -O -e bin/tal-setconf 2>"$stage/shlibdeps.err"); then
    cat "$stage/shlibdeps.err" >&2
    refuse "dpkg-shlibdeps cannot resolve the libraries of $binary ($needed): neither static nor resolvable on this machine, not packaged"
  fi
  depends=$(echo "$shlibdeps" | sed -n 's/^shlibs:Depends=//p')
  [ -n "$depends" ] || refuse "dpkg-shlibdeps found no package for the libraries of $binary ($needed)"
else
  # What the static binary embeds: the C library and the compiler runtime,
  # named as Debian source packages with exact versions (Built-Using). A
  # cross toolchain's packages are built from glibc and gcc sources
  # themselves; their own Built-Using names those, and they are named too.
  cxx=$(cache_value TAL_CXX_COMPILER)
  [ -x "$cxx" ] || refuse "cannot run the build's compiler ($cxx) to find the libraries it embedded"
  for archive in libc.a libstdc++.a libgcc.a libgcc_eh.a; do
    path=$("$cxx" -print-file-name="$archive")
    [ -f "$path" ] || refuse "$cxx has no $archive, which a static tal-setconf embeds"
    real=$(readlink -f "$path")
    owner=$(dpkg-query -S "$real" 2>/dev/null | sed -n '1s/: .*//p')
    [ -n "$owner" ] || refuse "$real, embedded in the static binary, belongs to no Debian package: cannot write a true Built-Using"
    dpkg-query -W -f='${source:Package} (= ${source:Version})\n' "$owner" >> "$stage/built-using"
    dpkg-query -W -f='${Built-Using}\n' "$owner" | tr ',' '\n' |
      sed -n 's/^ *\(glibc\|gcc-[0-9]*\) *(= *\([^)]*\)).*/\1 (= \2)/p' >> "$stage/built-using"
  done
  built_using=$(sort -u "$stage/built-using" | paste -s -d, | sed 's/,/, /g')
fi

root="$stage/root"
DESTDIR="$root" cmake --install "$build" --prefix /usr --strip >/dev/null

man="$root/usr/share/man/man1"
gzip -9n "$man/tal-setconf.1"
for link in "$root"/usr/bin/tal-setconf-*; do
  ln -s tal-setconf.1.gz "$man/$(basename "$link").1.gz"
done
doc="$root/usr/share/doc/tal-setconf"
mkdir -p "$doc"
cp "$top/packaging/copyright" "$doc/copyright"
[ "$static" = no ] || cat "$top/packaging/copyright-static" >> "$doc/copyright"
gzip -9n -c "$top/packaging/changelog" > "$doc/changelog.gz"
if [ -f "$top/packaging/lintian-overrides.$arch" ]; then
  mkdir -p "$root/usr/share/lintian/overrides"
  cp "$top/packaging/lintian-overrides.$arch" "$root/usr/share/lintian/overrides/tal-setconf"
fi

# Modes that do not depend on the umask, and one time stamp.
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod 0644 {} +
chmod 0755 "$root/usr/bin/tal-setconf"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

# As dpkg-gencontrol counts it: each file in whole KiB, each link and
# directory as 1 KiB.
installed_size=$(find "$root" \( -type f -printf '%s\n' \) -o -printf '1024\n' |
  awk '{ total += int(($1 + 1023) / 1024) } END { print total }')

mkdir -p "$root/DEBIAN"
{
  echo "Package: tal-setconf"
  echo "Version: $version"
  echo "Architecture: $arch"
  echo "Maintainer: TAL routing add-on team <routing@tal.example.org>"
  echo "Installed-Size: $installed_size"
  [ -z "$depends" ] || echo "Depends: $depends"
  [ -z "$built_using" ] || echo "Built-Using: $built_using"
  echo "Section: admin"
  echo "Priority: optional"
  sed -n '1,/^$/p' "$top/packaging/description" | sed '/^$/d'
} > "$root/DEBIAN/control"
chmod 0644 "$root/DEBIAN/control"
touch -h -d "@$SOURCE_DATE_EPOCH" "$root/DEBIAN" "$root/DEBIAN/control"

deb="$out/tal-setconf_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz -z9 --build "$root" "$deb" >/dev/null
echo "$deb"
