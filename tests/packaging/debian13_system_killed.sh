#!/bin/sh
# debian13_system_killed.sh SCRIPT: SCRIPT (debian13_system.sh) killed while its
# debootstrap has /proc mounted inside the new system leaves no mount behind; a system
# half made by an older run, with /proc and a folder of this machine mounted inside, is
# unmounted and removed, and nothing below those mounts is touched. A stand-in for
# debootstrap (DEBOOTSTRAP) mounts as the real one does, says so, and waits: the kill
# comes at that point, not after some time.
set -eu
script=$1
work=$(mktemp -d /tmp/qv-debian13-killed.XXXXXX)
mounts_below() { findmnt -rn -o TARGET | grep "^$1/" || true; }
trap 'mounts_below "$work" | sort -r | xargs -r umount -l; rm -rf --one-file-system "$work"' EXIT
fail() { echo "$*" >&2; exit 1; }

cat >"$work/debootstrap" <<'EOF'
#!/bin/sh
mkdir -p "$4/proc" && mount -t proc proc "$4/proc" && echo mounted >"$QV_FIFO" && exec sleep infinity
EOF
chmod +x "$work/debootstrap"
mkfifo "$work/fifo"
DEBOOTSTRAP=$work/debootstrap QV_FIFO=$work/fifo sh "$script" "$work/cache" >/dev/null 2>&1 &
run=$!
read -r said <"$work/fifo"
[ "$said" = mounted ] || fail "the stand-in debootstrap did not mount"
kill "$run"
wait "$run" || true
# The namespaces end with their last process; pidof cannot tell ours from another run's.
for _ in $(seq 1 600); do
  [ -n "$(find /proc -maxdepth 2 -name environ -path '/proc/[0-9]*' -exec grep -l "QV_FIFO=$work/fifo" {} + 2>/dev/null)" ] ||
    break
  sleep 0.1
done
[ -z "$(mounts_below "$work/cache")" ] || fail "the killed run left mounts: $(mounts_below "$work/cache")"
[ -d "$work/cache/root.new" ] || fail "no half-made system to clear"

# As an older run left it: mounts in the host's namespace.
mkdir -p "$work/kept" "$work/cache/root.new/proc" "$work/cache/root.new/mnt"
echo kept >"$work/kept/file"
mount --bind "$work/kept" "$work/cache/root.new/mnt"
mount -t proc proc "$work/cache/root.new/proc"
DEBOOTSTRAP=false sh "$script" "$work/cache" >/dev/null 2>&1 && fail "a failed debootstrap passed"
[ -z "$(mounts_below "$work/cache")" ] || fail "mounts left: $(mounts_below "$work/cache")"
[ "$(cat "$work/kept/file")" = kept ] || fail "the clean-up went down into a mount"
echo "a killed run left no mount, and a half-made system was cleared without crossing a mount"
