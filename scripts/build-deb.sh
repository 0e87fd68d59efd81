#!/usr/bin/env bash
# Builds the Debian package with CPack's DEB generator:
#
#   bash scripts/build-deb.sh [VERSION]
#
# VERSION is MAJOR.MINOR.BUILD (default 1.0.1001); BUILD is the sample client's build
# number, so a package with a higher one is an update of the client. The build goes to
# build-deb/ (or $QV_DEB_BUILD_DIR) and the package beside it; the last line printed is
# the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

version=${1:-1.0.1001}
build=${QV_DEB_BUILD_DIR:-$PWD/build-deb}

bash scripts/install-deps.sh

# Debian's compiler and linker flags, hardening included, as a package build has them.
flags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)
eval "$flags"
# Stripped at link time: the sample client is installed as a staged folder, which
# CPack's stripping (install(TARGETS) only) would not reach.
LDFLAGS="$LDFLAGS -s"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
  -DCMAKE_INSTALL_PREFIX=/opt/quenvale-drive -DQV_DEB_PACKAGE=ON -DQV_BUILD_TESTS=OFF \
  -DQV_SAMPLE_CLIENT=ON -DQV_PACKAGE_VERSION="$version" >/dev/null
cmake --build "$build"
(cd "$build" && cpack -G DEB >/dev/null)

deb=$build/quenvale-drive_${version}_$(dpkg --print-architecture).deb
if [ ! -f "$deb" ]; then
  echo "cpack made no $deb" >&2
  exit 1
fi
echo "$deb"
