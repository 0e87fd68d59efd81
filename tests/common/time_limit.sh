#!/bin/sh
# time_limit.sh TEST_PROGRAM: a test program whose cases outlast its --qv_time_limit fails
# with the watchdog's message, and leaves neither a process nor its sandbox behind,
# although its cases start clients that go to the background.
set -u
program=$1
run=limit$$
QV_TEST_RUN=$run "$program" --qv_time_limit=6 >out.$run 2>&1
rc=$?
# The watchdog's last step runs once the program has ended; it ends with the sandbox.
for _ in $(seq 1 600); do
  left=$(grep -l "qvtest-$run-" /proc/[0-9]*/environ 2>/dev/null)
  [ -z "$(find /tmp -maxdepth 1 -name "qvtest-$run-*")" ] && [ -z "$left" ] && break
  sleep 0.1
done
grep -q "time limit of 6 s is near" out.$run || { tail -n 40 out.$run; echo "no watchdog message (status $rc)"; exit 1; }
[ "$rc" -eq 1 ] || { tail -n 40 out.$run; echo "ended with $rc, not 1"; exit 1; }
rm -f out.$run
[ -z "$left" ] || { echo "processes left: $left"; exit 1; }
[ -z "$(find /tmp -maxdepth 1 -name "qvtest-$run-*")" ] || { echo "sandbox left"; exit 1; }
