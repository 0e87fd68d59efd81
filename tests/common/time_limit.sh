#!/bin/sh
# time_limit.sh TEST_PROGRAM: a test program whose cases outlast its --qv_time_limit fails
# with the watchdog's message, and leaves neither a process nor its sandbox behind,
# although its cases start clients that go to the background.
set -u
program=$1
run=limit$$
QV_TEST_RUN=$run "$program" --qv_time_limit=6 >out.$run 2>&1
rc=$?
# The watchdog's last step runs once the program has ended; it stops with the sandbox.
for _ in $(seq 1 600); do
  [ -z "$(find /tmp -maxdepth 1 -name "qvtest-$run-*")" ] && break
  sleep 0.1
done
left=$(grep -l "qvtest-$run-" /proc/[0-9]*/environ 2>/dev/null)
grep -q "time limit of 6 s is near" out.$run || { echo "no watchdog message (status $rc)"; exit 1; }
rm -f out.$run
[ "$rc" -eq 1 ] || { echo "ended with $rc, not 1"; exit 1; }
[ -z "$left" ] || { echo "processes left: $left"; exit 1; }
[ -z "$(find /tmp -maxdepth 1 -name "qvtest-$run-*")" ] || { echo "sandbox left"; exit 1; }
