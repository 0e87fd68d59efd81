#!/bin/sh
# A private copy of this machine for the package tests, kept by this process in a mount
# namespace of its own:
#
#   unshare --mount --propagation private sh private_system.sh LAYERS GROUP
#
# Overlays keep what dpkg, the maintainer scripts and systemd write under /usr, /etc,
# /opt, /var/lib, /var/log and /var/cache in a tmpfs on LAYERS; a tmpfs on /run/systemd
# with an empty `system` folder makes systemd take this for a machine that it booted.
# GROUP is made under each control-group hierarchy of /sys/fs/cgroup for the user
# managers and sessions that the test starts in here. Prints "ready" and those
# hierarchies once set up.
#
#   unshare --mount --propagation private sh private_system.sh LAYERS GROUP ROOT SHARED
#
# makes instead a private copy of the system in the folder ROOT (debian13_system.sh):
# ROOT under an overlay on LAYERS/root, with /proc, /dev, /sys and /tmp, its own /run,
# this machine's resolver, apt's downloads kept in ROOT/../archives, and this machine's
# folder SHARED at the same path; the tests chroot into LAYERS/root. When this process is told to end (TERM, sent by the test or at the test's own death), it
# kills whatever lives in GROUP and removes it; the mounts go with the namespace.
set -eu
layers=$1
group=$2
root=${3:-}
shared=${4:-}
waiter=""

# Those of a hybrid layout (cgroup2 beside v1, with systemd's own named hierarchy), else
# the one of a cgroup2-only machine.
hierarchies() {
  if [ -d /sys/fs/cgroup/unified ] || [ -d /sys/fs/cgroup/systemd ]; then
    for h in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd; do
      if [ -d "$h" ]; then echo "$h"; fi
    done
  elif [ -e /sys/fs/cgroup/cgroup.procs ]; then
    echo /sys/fs/cgroup
  fi
}

cleanup() {
  if [ -n "$waiter" ]; then kill "$waiter" 2>/dev/null || true; fi
  for h in $(hierarchies); do
    if [ -e "$h/$group/cgroup.kill" ]; then echo 1 >"$h/$group/cgroup.kill" || true; fi
  done
  # Where the kernel has no cgroup.kill, and for what forked meanwhile.
  i=0
  while [ $i -lt 100 ]; do
    pids=$(for h in $(hierarchies); do
      if [ -d "$h/$group" ]; then find "$h/$group" -name cgroup.procs -exec cat {} + 2>/dev/null || true; fi
    done)
    [ -n "$pids" ] || break
    kill -9 $pids 2>/dev/null || true
    sleep 0.1
    i=$((i + 1))
  done
  for h in $(hierarchies); do
    if [ -d "$h/$group" ]; then find "$h/$group" -depth -type d -exec rmdir {} + 2>/dev/null || true; fi
  done
}
trap cleanup EXIT
trap 'exit 0' TERM INT HUP

for h in $(hierarchies); do mkdir "$h/$group"; done
mount -t tmpfs -o mode=0755 qv-layers "$layers"
if [ -n "$root" ]; then
  sys=$layers/root
  mkdir "$sys" "$layers/upper" "$layers/work"
  mount -t overlay qv-overlay -o "lowerdir=$root,upperdir=$layers/upper,workdir=$layers/work" "$sys"
  mount -t proc qv-proc "$sys/proc"
  mount --rbind /dev "$sys/dev"
  mount --rbind /sys "$sys/sys"
  # This machine's /tmp, so that X servers started in there and here pick display
  # numbers that are free on both (their lock files and sockets are under /tmp).
  mount --rbind /tmp "$sys/tmp"
  mount -t tmpfs -o mode=0755 qv-run "$sys/run"
  cp -L /etc/resolv.conf "$sys/etc/resolv.conf"
  archives=$(dirname "$root")/archives
  mkdir -p "$archives/partial"
  mount --bind "$archives" "$sys/var/cache/apt/archives"
  mkdir -p "$sys$shared"
  mount --bind "$shared" "$sys$shared"
else
  for dir in /usr /etc /opt /var/lib /var/log /var/cache; do
    mkdir -p "$layers$dir/upper" "$layers$dir/work"
    mount -t overlay qv-overlay -o "lowerdir=$dir,upperdir=$layers$dir/upper,workdir=$layers$dir/work" "$dir"
  done
  [ -d /run/systemd ] || { echo "no /run/systemd to mount over" >&2; exit 1; }
  mount -t tmpfs -o mode=0755 qv-run-systemd /run/systemd
  mkdir /run/systemd/system
  # man-db rebuilds its index after every install unless this switch is off: seconds
  # spent on nothing that these tests look at.
  rm -f /var/lib/man-db/auto-update
fi

echo ready $(hierarchies)
sleep infinity &
waiter=$!
wait "$waiter"
