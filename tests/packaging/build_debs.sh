#!/usr/bin/env bash
# Builds the packages that the package tests use, with the README's command:
#
#   build_debs.sh OUT_DIR ARCH VERSION...
#
# One after the other in OUT_DIR/build, so each later version rebuilds only what its
# version changes; the packages are copied into OUT_DIR.
set -euo pipefail
out=$1
arch=$2
shift 2
mkdir -p "$out"
rm -f "$out"/*.deb
for version in "$@"; do
  log=$out/build-$version
  if ! QV_DEB_BUILD_DIR=$out/build bash "$(dirname "$0")/../../scripts/build-deb.sh" "$version" "$arch" \
      >"$log.out" 2>"$log.err"; then
    cat "$log.out" "$log.err"
    exit 1
  fi
  cp "$(tail -n 1 "$log.out")" "$out/"
done
