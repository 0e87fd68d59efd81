#!/bin/sh
# sandboxes.sh clear|check RUN
# The sandboxes that the test processes of the run tagged RUN make in $QV_TEST_TMP (or
# /tmp) are named qvtest-RUN-*. Each process removes its own when it ends; one that
# crashed or was killed cannot. Every process that a test starts has its sandbox in its
# environment (HOME, TMPDIR), also one that went to the background and was lost.
#   clear  removes what an earlier run of the same build, cut short, left behind
#   check  fails when this run left any sandbox or process, naming them; they are
#          removed (ended) all the same
set -u
action=$1
run=$2
base=${QV_TEST_TMP:-/tmp}
# Kept on request: nothing to check.
[ -n "${QV_KEEP_TEST_DIRS:-}" ] && exit 0

procs=$(grep -l -s "=$base/qvtest-$run-" /proc/[0-9]*/environ | cut -d/ -f3)
if [ -n "$procs" ]; then
  if [ "$action" = check ]; then
    echo "the test processes of this run left processes behind:" >&2
    ps -o pid=,args= -p "$(echo $procs | tr ' ' ,)" >&2
  fi
  kill -9 $procs 2>/dev/null
fi
left=$(find "$base" -mindepth 1 -maxdepth 1 -type d -name "qvtest-$run-*" | sort)
if [ -z "$left" ]; then
  [ "$action" = check ] && [ -n "$procs" ] && exit 1
  exit 0
fi
for dir in $left; do
  # Tests may leave folders that even their owner cannot enter.
  chmod -R u+rwx "$dir" 2>/dev/null
  # Never into what a killed test left mounted inside.
  rm -rf --one-file-system "$dir"
done
if [ "$action" = check ]; then
  echo "the test processes of this run left their sandboxes behind:" $left >&2
  exit 1
fi
echo "removed sandboxes that an earlier run left behind:" $left
