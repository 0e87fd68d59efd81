#!/usr/bin/env bash
# Checks that the Debian package is reproducible: clones one commit into two temporary
# folders of different names and depths, builds the package in each with
# scripts/build-deb.sh, and compares the two byte for byte. Where they differ it says
# how, with diffoscope when that is installed.
#
#   bash scripts/check-reproducible.sh [COMMIT [VERSION [ARCH]]]
#
# COMMIT defaults to HEAD (commit first: work not committed is not in the clones),
# VERSION to 1.0.1001, ARCH to this machine's (i386 is cross-built, see build-deb.sh). Exits 0 only when the packages are identical. QV_REPRO_KEEP=1
# keeps the two clones and their builds (their folder is printed) for a closer look.
set -euo pipefail
cd "$(dirname "$0")/.."

commit=$(git rev-parse --verify "${1:-HEAD}^{commit}")
version=${2:-1.0.1001}
arch=${3:-$(dpkg --print-architecture)}

bash scripts/install-deps.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/qv-repro.XXXXXX")
if [ "${QV_REPRO_KEEP:-0}" = 1 ]; then
  echo "clones and builds kept in $work" >&2
else
  trap 'rm -rf "$work"' EXIT
fi

debs=()
for clone in "$work/a" "$work/second/clone-of-the-source"; do
  mkdir -p "$(dirname "$clone")"
  git clone --quiet --no-checkout "$PWD" "$clone"
  git -C "$clone" checkout --quiet "$commit"
  echo "building $commit in $clone" >&2
  if ! deb=$(QV_DEB_BUILD_DIR="$clone/build-deb" bash "$clone/scripts/build-deb.sh" "$version" "$arch" 2>"$clone.err" | tail -n 1); then
    cat "$clone.err" >&2
    exit 1
  fi
  debs+=("$deb")
done

if cmp "${debs[0]}" "${debs[1]}"; then
  echo "reproducible: $(basename "${debs[0]}") $(sha256sum <"${debs[0]}" | cut -d' ' -f1)"
  exit 0
fi
echo "NOT reproducible: ${debs[0]} and ${debs[1]} differ" >&2
if command -v diffoscope >/dev/null; then
  diffoscope "${debs[0]}" "${debs[1]}" || true
else
  echo "(install diffoscope to see how)" >&2
fi
exit 1
