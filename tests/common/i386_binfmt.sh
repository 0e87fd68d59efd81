#!/bin/sh
# i386_binfmt.sh SCRIPT: the i386 handler of SCRIPT (scripts/i386-binfmt.sh) runs i386
# programs while a run claims it, stays while any live run does, and is removed by the
# last one out, a claim of a run that was killed not counted; one that was there before
# stays. Other runs on the machine may claim it meanwhile: the end is judged under the
# claims' lock, with theirs. Skipped (77) where the i386 suite is not emulated.
set -u
script=$1
# Only where the i386 programs are emulated anyway: a registered handler is tried before
# the kernel's own loader, so on a kernel that runs them itself it would move every i386
# program on the machine (another run's native i386 suite among them) under qemu-user.
way=$(bash "$script" way)
case $way in
emulated*) ;;
*) echo "skipped: the i386 suite is not emulated here ($way)"; exit 77 ;;
esac
work=$(mktemp -d)
sleep 600 & a=$!
sleep 600 & b=$!
sleep 0 & dead=$!
trap 'kill $a $b 2>/dev/null; bash "$script" down $a; bash "$script" down $b; rm -rf "$work"' EXIT
fail() { echo "$*" >&2; exit 1; }
handler() { [ -e /proc/sys/fs/binfmt_misc/qv-i386 ] && echo yes || echo no; }
before=$(handler)
wait $dead
bash "$script" up $a && bash "$script" up $b && bash "$script" up $dead || fail "not registered"
printf 'int main(void) { return 42; }\n' >"$work/p.c"
i686-linux-gnu-gcc -o "$work/p" "$work/p.c" || fail "no i386 compiler"
"$work/p"; [ $? -eq 42 ] || fail "an i386 program does not run while claimed"
bash "$script" down $a
"$work/p"; [ $? -eq 42 ] || fail "the first run out took the handler from the second"
bash "$script" down $b
state=/run/qv-i386-binfmt
end=$(flock "$state/lock" sh -c "ls $state/claims | grep -vx -e $a -e $b -e $dead | tr '\n' ' '; echo :\$(test -e /proc/sys/fs/binfmt_misc/qv-i386 && echo yes || echo no)")
others=${end%:*}
case $before:$others:${end##*:} in
no::yes) fail "the last run out left the handler registered" ;;
*[0-9]*:no) fail "the handler was removed while runs $others still claim it" ;;
esac
