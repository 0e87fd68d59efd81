#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the launcher needs.
# Idempotent and quiet when everything is already present; apt-get update runs only
# when something has to be installed.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config
  # the compiler cache that scripts/test.sh builds through
  ccache
  # libraries
  qtbase5-dev qttools5-dev qttools5-dev-tools
  libarchive-dev libicu-dev zlib1g-dev libgtest-dev
  # tests and the demo: bsdtar, a headless X server, process and namespace tools, a
  # tracer that cuts an upgrade short at chosen system calls
  libarchive-tools xvfb xauth procps util-linux strace
  # a private session bus for the desktop notification tests; on it, the accessibility
  # bus and registry and the client library that the screen-reader test reads the
  # dialog with
  dbus-daemon at-spi2-core python3-pyatspi
  # fonts the dialog needs: Latin (Arial-compatible), Thai, CJK
  fonts-liberation fonts-dejavu-core fonts-thai-tlwg fonts-wqy-microhei
  # fuzz targets: clang with libFuzzer's runtime (only recommended by clang); python3
  # makes test archives and seed corpora
  clang libclang-rt-14-dev python3
  # the Debian package and its checks (CPack finds binaries with file), the desktop
  # files' validators, Wayland: its Qt plug-ins and a headless compositor for the tests
  dpkg-dev fakeroot file lintian desktop-file-utils appstream qtwayland5 weston
  # the run paths of the Qt that the package carries; the minimal Debian 13 system that
  # the package tests install it in
  patchelf debootstrap
  # an XDG autostart runner, standing in for the session manager in the login test, and
  # the X window lister that tells whether a window was shown
  dex x11-utils
  # systemd user managers, their units' checker and the manual pages it looks up, and
  # the helper that the package's maintainer scripts enable its user unit with
  systemd man-db init-system-helpers
  # the i386 build, cross-compiled beside the amd64 one (multiarch; g++-multilib would
  # take the cross compilers away), and the XFS tools that make a file system whose
  # inode numbers pass 2^32 for the 32-bit tests
  crossbuild-essential-i386 qtbase5-dev:i386 qtwayland5:i386
  libarchive-dev:i386 libicu-dev:i386 zlib1g-dev:i386 libgtest-dev:i386 xfsprogs
  # the i386 suite's emulator on a kernel that runs no i386 program (scripts/i386-binfmt.sh)
  qemu-user-static
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

# The i386 packages need the architecture known to dpkg; the lists are read afresh
# below, as its packages are then missing.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=1200 update -qq
$sudo apt-get -o DPkg::Lock::Timeout=1200 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
