#!/usr/bin/env bash
# Runs the i386 build's suite the way this machine allows, and ends with one line that
# says which way it went:
#
#   i386-suite.sh BUILD_DIR JOBS [CTEST_ARG...]
#
#   native    the kernel runs i386 programs: every case
#   emulated  it runs none, but Debian's qemu-user-static can (registered with
#             i386-binfmt.sh for this run only): every case but those labelled
#             native-i386, whose reasons are given beside the label in the CMake files
#   skipped   it can do neither (not root, no qemu-user-static, no binfmt_misc)
#
# QV_I386=native|emulated|skip forces a way; scripts/test.sh decides it once for the
# whole run and passes it on.
set -euo pipefail
dir=$1
jobs=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
way=$(bash "$here/i386-binfmt.sh" way)
why=${way#*: }
way=${way%%:*}

case $way in
skip)
  echo "i386 suite: skipped ($why)"
  exit 0
  ;;
emulated)
  bash "$here/i386-binfmt.sh" up $$
  trap 'bash "$here/i386-binfmt.sh" down $$' EXIT
  set -- "$@" -LE '^(packaging|long-copy|native-i386)$'
  ;;
*)
  set -- "$@" -LE '^(packaging|long-copy)$'
  ;;
esac

cd "$dir"
# How many cases match the arguments.
count() { ctest -N "$@" | awk '/^Total Tests:/ { print $3 }'; }
run=$(count "$@")
rc=0
ctest --output-on-failure --timeout 600 -j "$jobs" "$@" || rc=$?
if [ "$way" = emulated ]; then
  left=$(ctest -N -L '^native-i386$' | sed -n 's/^ *Test *#[0-9]*: \([^.]*\)\..*/\1/p' | sort | uniq -c |
    awk '{ printf "%s%s (%d)", sep, $2, $1; sep = ", " }')
  echo "i386 suite: emulated under qemu-user-static ($why): $run cases run," \
    "$(count -L '^native-i386$') left out that need a native kernel (label native-i386): $left"
else
  echo "i386 suite: native ($why): $run cases run"
fi
exit "$rc"
