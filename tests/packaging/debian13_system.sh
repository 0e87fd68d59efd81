#!/bin/sh
# Makes, once, a minimal Debian 13 system for the package tests, and prints its folder:
#
#   sh debian13_system.sh [CACHE]
#
# debootstrap makes it from the Debian mirror that this machine's apt sources name, with
# Xvfb in it and apt's package lists read, and it is kept in CACHE/root between runs
# (outside the clone, as the compile cache is; /var/tmp/qv-trixie-UID by default); runs
# at the same time wait for the one that makes it. The tests never write to it: they lay
# an overlay over it.
#
# debootstrap mounts /proc and more inside the system it makes. It runs in mount and PID
# namespaces of its own, which end with this script, killed or not, and the mounts with
# them; a
# system half made by a run killed before that was so is cleared without ever going
# down into a mount point: what is mounted inside is unmounted, then the rest removed on
# its own file system only. DEBOOTSTRAP names another debootstrap (the tests' hook).
set -eu
cache=${1:-/var/tmp/qv-trixie-$(id -u)}
debootstrap=${DEBOOTSTRAP:-debootstrap}
mkdir -p -m 0700 "$cache"
exec 9>"$cache/lock"
flock 9
if [ ! -e "$cache/root/var/lib/qv-ready" ]; then
  # The first source of Debian packages whose suite is a release's own (not -security,
  # -updates), in either format of apt's sources.
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk '$1 == "deb" { i = 2; while ($i ~ /^\[/ || $(i - 1) ~ /^\[/ && $(i - 1) !~ /\]$/) i++
                       if ($(i + 1) !~ /-/) { print $i; exit } }')
  if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
      awk 'BEGIN { RS = ""; FS = "\n" }
           { uri = ""; deb = 0; own = 0
             for (i = 1; i <= NF; i++) {
               n = split($i, w, " ")
               if (w[1] == "Types:") for (j = 2; j <= n; j++) if (w[j] == "deb") deb = 1
               if (w[1] == "URIs:") uri = w[2]
               if (w[1] == "Suites:") for (j = 2; j <= n; j++) if (w[j] !~ /-/) own = 1
             }
             if (deb && own && uri != "") { print uri; exit } }')
  fi
  [ -n "$mirror" ] || { echo "no Debian mirror in this machine's apt sources" >&2; exit 1; }
  for dir in "$cache/root.new" "$cache/root"; do
    [ -e "$dir" ] || continue
    # The deepest first; each with what is mounted below it.
    findmnt -rn -o TARGET | awk -v d="$dir" 'index($0, d "/") == 1 || $0 == d' | sort -r |
      while read -r point; do umount -R "$point" 2>/dev/null || umount -R -l "$point"; done
    if findmnt -rn -o TARGET | awk -v d="$dir" 'index($0, d "/") == 1 { found = 1 } END { exit !found }'; then
      echo "$dir still has file systems mounted inside: not removed" >&2
      exit 1
    fi
    rm -rf --one-file-system "$dir"
  done
  log=$cache/debootstrap.log
  if ! setpriv --pdeathsig KILL unshare --mount --propagation private --pid --fork --kill-child --mount-proc \
         "$debootstrap" --variant=minbase --include=xvfb,xauth trixie "$cache/root.new" "$mirror" >"$log" 2>&1 ||
     ! chroot "$cache/root.new" apt-get update >>"$log" 2>&1; then
    tail -n 20 "$log" >&2
    exit 1
  fi
  touch "$cache/root.new/var/lib/qv-ready"
  mv "$cache/root.new" "$cache/root"
fi
echo "$cache/root"
