#!/usr/bin/env bash
# Builds the Debian package with CPack's DEB generator:
#
#   bash scripts/build-deb.sh [VERSION [ARCH]]
#
# VERSION is MAJOR.MINOR.BUILD (default 1.0.1001); BUILD is the sample client's build
# number, so a package with a higher one is an update of the client. ARCH is this
# machine's architecture (the default) or i386, cross-built on amd64 with
# cmake/toolchain-i386.cmake and the i386 libraries installed beside the amd64 ones. The
# build goes to build-deb/ (build-deb-i386/ for i386; or $QV_DEB_BUILD_DIR) and the
# package beside it; the last line printed is the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

version=${1:-1.0.1001}
arch=${2:-$(dpkg --print-architecture)}
cross=()
build=${QV_DEB_BUILD_DIR:-$PWD/build-deb}
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  [ -f "cmake/toolchain-$arch.cmake" ] || { echo "build-deb: no cross build for $arch" >&2; exit 1; }
  cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch.cmake")
  build=${QV_DEB_BUILD_DIR:-$PWD/build-deb-$arch}
fi

bash scripts/install-deps.sh

# The same commit gives the same package, whatever folder it is built in and whenever
# (see scripts/check-reproducible.sh). Every date that ends up in the package (archive
# entries, the changelog, the metainfo release, the translations resource) is the last
# commit's time, unless the caller chose one; the mode of every file made is the same.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || true)
  [ -n "$SOURCE_DATE_EPOCH" ] || echo "build-deb: no git history and no SOURCE_DATE_EPOCH: the package carries today's dates" >&2
fi
[ -z "$SOURCE_DATE_EPOCH" ] || export SOURCE_DATE_EPOCH
umask 022
mkdir -p "$build"
build=$(cd "$build" && pwd -P)

# Debian's compiler and linker flags, hardening included, as a package build for ARCH
# has them; dpkg-shlibdeps, run by CPack, then looks for ARCH's libraries.
eval "$(dpkg-architecture -a "$arch" -s 2>/dev/null)"
flags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)
eval "$flags"
# No folder names in the binaries: source paths (in assertions) relative to the source,
# the build folder under a fixed name (it may lie inside the source, so it comes last:
# the last map that matches wins).
prefix_maps="-ffile-prefix-map=$(pwd -P)=. -ffile-prefix-map=$build=build-deb"
# Stripped at link time: the sample client is installed as a staged folder, which
# CPack's stripping (install(TARGETS) only) would not reach. Run paths as DT_RPATH,
# searched before LD_LIBRARY_PATH, so that the package's own Qt is always the one loaded
# (see packaging/bundle-qt.sh).
LDFLAGS="$LDFLAGS -s -Wl,--disable-new-dtags"

# Linked with their installed run path at once: a run path into the build folder, to be
# rewritten at install time, would leave the length of that folder's name behind in
# the binaries' string tables.
cmake -S . -B "$build" -G Ninja "${cross[@]}" -DCMAKE_BUILD_TYPE=None -DCPACK_DEBIAN_PACKAGE_ARCHITECTURE="$arch" \
  -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS $prefix_maps" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS $prefix_maps" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
  -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON \
  -DCMAKE_INSTALL_PREFIX=/opt/quenvale-drive -DQV_DEB_PACKAGE=ON -DQV_BUILD_TESTS=OFF \
  -DQV_SAMPLE_CLIENT=ON -DQV_PACKAGE_VERSION="$version" >/dev/null
cmake --build "$build"
(cd "$build" && cpack -G DEB >/dev/null)

deb=$build/quenvale-drive_${version}_$arch.deb
if [ ! -f "$deb" ]; then
  echo "cpack made no $deb" >&2
  exit 1
fi

# CPack's Installed-Size adds up what stat says of every entry: the size of each folder
# on the file system the build happens to use, and the file that the absolute link
# /usr/bin/quenvale-drive names on the build machine. The package is packed again with
# dpkg-deb, with the size counted as dpkg-gencontrol counts it (each regular file and
# link in KiB rounded up, anything else 1), so that it depends on the contents alone;
# dpkg-deb orders the entries by name, owns them by root and clamps their times to
# SOURCE_DATE_EPOCH. It compresses with xz (30 % smaller than gzip here), on one thread;
# dpkg-deb cuts the data into blocks of a fixed size (the same bytes with one thread as
# with two, checked), so this only keeps the build off the other cores.
tree=$build/deb-tree
rm -rf "$tree"
dpkg-deb --raw-extract "$deb" "$tree"
size=$(find "$tree" -path "$tree/DEBIAN" -prune -o -printf '%y %s\n' |
  awk '$1 == "f" || $1 == "l" { kib += int(($2 + 1023) / 1024); next } { kib += 1 } END { print kib }')
sed -i "s/^Installed-Size: .*/Installed-Size: $size/" "$tree/DEBIAN/control"
dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$tree" "$deb" >/dev/null
rm -rf "$tree"
echo "$deb"
