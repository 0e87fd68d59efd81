#!/usr/bin/env bash
# Runs i386 programs under Debian's qemu-user-static on a kernel that runs none itself,
# for as long as a run of the tests needs it:
#
#   i386-binfmt.sh way        prints "native: WHY", "emulated: WHY" or "skip: WHY"; QV_I386
#                             forces a way (with ": WHY" after it, as `way` prints it)
#   i386-binfmt.sh up PID     registers the handler for the run of process PID (as root)
#   i386-binfmt.sh down PID   ends that run's claim; the last run out removes the handler
#
# The handler is the kernel's binfmt_misc entry "qv-i386", opened once when registered
# (flag F), so that it works in the chroots and mount namespaces of the package tests.
# Several clones may test at the same time: each run holds a claim in $state, and only
# the last one to leave removes the entry (and unmounts binfmt_misc when it mounted it).
# An i386 handler that something else registered is used, and never removed.
set -euo pipefail
action=$1
state=/run/qv-i386-binfmt
misc=/proc/sys/fs/binfmt_misc
entry=qv-i386
qemu=/usr/bin/qemu-i386-static
# ELF, 32-bit, little-endian, an executable or a shared object (PIE), for Intel 80386.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# An enabled handler of i386 programs, ours or another.
i386_handler() {
  local f
  for f in "$misc"/*; do
    case ${f##*/} in register|status) continue ;; esac
    if grep -qx enabled "$f" 2>/dev/null && grep -q '^magic 7f454c4601010100000000000000000002000300' "$f"; then
      return 0
    fi
  done
  return 1
}

# Whether a small i386 program runs here, compiled the way the i386 build compiles.
runs_i386() {
  local dir
  dir=$(mktemp -d)
  printf 'int main(void) { return 42; }\n' >"$dir/probe.c"
  local rc=1
  if i686-linux-gnu-gcc -o "$dir/probe" "$dir/probe.c" 2>/dev/null; then
    "$dir/probe" 2>/dev/null && rc=$? || rc=$?
  fi
  rm -rf "$dir"
  [ "$rc" -eq 42 ]
}

can_emulate() {
  if [ "$(id -u)" -ne 0 ]; then echo "not root, so no binfmt_misc handler can be registered"; return 1; fi
  if [ ! -x "$qemu" ]; then echo "no $qemu (Debian's qemu-user-static)"; return 1; fi
  if [ ! -e "$misc/register" ] && ! grep -qw binfmt_misc /proc/filesystems; then
    echo "this kernel has no binfmt_misc"; return 1
  fi
  return 0
}

case $action in
way)
  case ${QV_I386:-} in
  native|emulated|skip) echo "$QV_I386: forced by QV_I386=$QV_I386"; exit 0 ;;
  native:*|emulated:*|skip:*) echo "$QV_I386"; exit 0 ;;
  "") ;;
  *) echo "QV_I386 is native, emulated or skip, not \"$QV_I386\"" >&2; exit 2 ;;
  esac
  if runs_i386; then
    # An emulator that someone registered runs it too: that is no native kernel.
    if i386_handler; then
      echo "emulated: an i386 handler is registered in binfmt_misc"
    else
      echo "native: this kernel runs i386 programs"
    fi
  elif reason=$(can_emulate); then
    echo "emulated: this kernel runs no i386 program"
  else
    echo "skip: this kernel runs no i386 program, and $reason"
  fi
  ;;
up)
  pid=$2
  reason=$(can_emulate) || { echo "$reason" >&2; exit 1; }
  mkdir -p -m 0755 "$state/claims"
  exec 9>"$state/lock"
  flock 9
  touch "$state/claims/$pid"
  if [ ! -e "$misc/register" ]; then
    mount -t binfmt_misc binfmt_misc "$misc"
    touch "$state/mounted"
  fi
  if [ ! -e "$misc/$entry" ] && ! i386_handler; then
    echo ":$entry:M::$magic:$mask:$qemu:PF" >"$misc/register"
    touch "$state/registered"
  fi
  ;;
down)
  pid=$2
  [ -d "$state/claims" ] || exit 0
  exec 9>"$state/lock"
  flock 9
  rm -f "$state/claims/$pid"
  # Claims of runs that were killed before they could leave.
  for claim in "$state/claims"/*; do
    [ -e "$claim" ] || continue
    kill -0 "$(basename "$claim")" 2>/dev/null || rm -f "$claim"
  done
  if [ -z "$(ls -A "$state/claims")" ] && [ -e "$state/registered" ]; then
    [ ! -e "$misc/$entry" ] || echo -1 >"$misc/$entry"
    rm -f "$state/registered"
    # Mounted by us when nothing else is registered in it.
    if [ -z "$(ls "$misc" | grep -vx -e register -e status)" ] && [ -e "$state/mounted" ]; then
      umount "$misc" && rm -f "$state/mounted"
    fi
  fi
  ;;
*)
  echo "usage: $0 way | up PID | down PID" >&2
  exit 2
  ;;
esac
