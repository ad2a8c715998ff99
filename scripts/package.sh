#!/bin/sh
# Builds the Debian package of tal-setconf from a configured build directory
# (for the router: preset aarch64-package; for this machine: preset release
# or any build with BUILD_TESTING=OFF), with dpkg-deb from the install tree.
# CPack is not used: it counts every link at the binary's size in
# Installed-Size, and offers no way to gzip the man page or add its links.
#
# Reproducible: every time stamp is SOURCE_DATE_EPOCH (set by the configure
# step: the last commit's time, or packaging/source-date-epoch in a tarball),
# modes do not depend on the umask, and owners are root.
#
# usage: scripts/package.sh BUILD_DIR [OUT_DIR]   (prints the package's path)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
out=$(mkdir -p "${2:-$build}" && cd "${2:-$build}" && pwd)
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

cmake --build "$build" --target tal-setconf >/dev/null
version=$(cache_value CMAKE_PROJECT_VERSION)
arch=$(cache_value TAL_DEB_ARCHITECTURE)
SOURCE_DATE_EPOCH=$(cache_value TAL_SOURCE_DATE_EPOCH)
export SOURCE_DATE_EPOCH

stage=$(mktemp -d "$build/package-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
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

depends=""
if [ "$(cache_value TAL_DEB_STATIC)" != ON ]; then
  # The shared libraries the binary links, as the packages that hold them.
  mkdir -p "$stage/debian"
  printf 'Source: tal-setconf\n\nPackage: tal-setconf\nArchitecture: any\n' > "$stage/debian/control"
  depends=$(cd "$stage" && dpkg-shlibdeps -O -e root/usr/bin/tal-setconf 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p')
fi

mkdir -p "$root/DEBIAN"
{
  echo "Package: tal-setconf"
  echo "Version: $version"
  echo "Architecture: $arch"
  echo "Maintainer: TAL routing add-on team <routing@tal.example.org>"
  echo "Installed-Size: $installed_size"
  [ -z "$depends" ] || echo "Depends: $depends"
  echo "Section: admin"
  echo "Priority: optional"
  sed -n '1,/^$/p' "$top/packaging/description" | sed '/^$/d'
} > "$root/DEBIAN/control"
chmod 0644 "$root/DEBIAN/control"
touch -h -d "@$SOURCE_DATE_EPOCH" "$root/DEBIAN" "$root/DEBIAN/control"

deb="$out/tal-setconf_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz -z9 --build "$root" "$deb" >/dev/null
echo "$deb"
