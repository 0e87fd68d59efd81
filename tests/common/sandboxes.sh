#!/bin/sh
# sandboxes.sh clear|check RUN
# The sandboxes that the test processes of the run tagged RUN make in $QV_TEST_TMP (or
# /tmp) are named qvtest-RUN-*. Each process removes its own when it ends; one that
# crashed or was killed cannot.
#   clear  removes what an earlier run of the same build, cut short, left behind
#   check  fails when this run left any, naming them; they are removed all the same
set -u
action=$1
run=$2
base=${QV_TEST_TMP:-/tmp}
# Kept on request: nothing to check.
[ -n "${QV_KEEP_TEST_DIRS:-}" ] && exit 0

left=$(find "$base" -mindepth 1 -maxdepth 1 -type d -name "qvtest-$run-*" | sort)
[ -z "$left" ] && exit 0
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
