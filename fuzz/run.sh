#!/usr/bin/env bash
# Runs every fuzz target of a QV_FUZZ build: once over each input of its seed corpus
# (the regression archives among them), then fuzzing for a fixed time. Prints one line
# per target with the executions, coverage (cov: edges, ft: features) and corpus size
# of the timed run; any crash or failed property ends the script with an error, and the
# input that caused it is kept beside the logs. Targets run side by side, one per
# processor.
# Usage: fuzz/run.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-15}
here=$(cd "$(dirname "$0")" && pwd)
out=$build/fuzz-run
rm -rf "$out"
mkdir -p "$out"
bash "$here/make-corpus.sh" "$out/seeds"

# Temporary files of the targets (the extractor's sandbox) stay in the build folder.
export TMPDIR=$out/tmp
mkdir -p "$TMPDIR"

# fuzz_one TARGET: runs one target and writes its line to $out/TARGET.summary.
fuzz_one() {
  local target=$1
  local exe=$build/fuzz/fuzz_$target
  # libarchive's cpio reader hands strcmp a name buffer without a NUL byte at its end;
  # strcmp stops at the first differing byte inside it, but ASan's strict string checks
  # (which test.sh turns on) want the whole string in bounds and abort. That library
  # is not ours to mend, so the extractor runs with the ordinary checks.
  local asan=${ASAN_OPTIONS:-}
  if [ "$target" = extractor ]; then asan="$asan:strict_string_checks=0"; fi
  local seeds=$out/seeds/$target
  local log=$out/$target.log
  if ! ASAN_OPTIONS=$asan "$exe" -artifact_prefix="$out/$target-" "$seeds"/* >"$log.seeds" 2>&1; then
    tail -n 40 "$log.seeds"
    echo "fuzz_$target: an input of the seed corpus failed ($log.seeds)" >&2
    return 1
  fi
  mkdir -p "$out/corpus/$target"
  if ! ASAN_OPTIONS=$asan "$exe" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
      -artifact_prefix="$out/$target-" "$out/corpus/$target" "$seeds" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz_$target: failed while fuzzing ($log)" >&2
    return 1
  fi
  local stats execs cov ft corp
  stats=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(sed -E 's/.* cov: ([0-9]+).*/\1/' <<<"$stats")
  ft=$(sed -E 's/.* ft: ([0-9]+).*/\1/' <<<"$stats")
  corp=$(sed -E 's/.* corp: ([0-9]+\/[0-9a-zA-Z]+).*/\1/' <<<"$stats")
  printf 'fuzz_%-11s %2d seeds, then %ss: %9s execs, cov %5s, ft %6s, corpus %s\n' \
    "$target" "$(ls "$seeds" | wc -l)" "$seconds" "$execs" "$cov" "$ft" "$corp" >"$out/$target.summary"
}

# Each target runs on one thread, so as many run at once as there are processors; each
# still fuzzes for its full time on a processor of its own.
targets=(config log_levels ustring extractor)
slots=$(nproc)
failed=0
for ((i = 0; i < ${#targets[@]}; i += slots)); do
  pids=()
  for target in "${targets[@]:i:slots}"; do
    fuzz_one "$target" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
  done
done
for target in "${targets[@]}"; do
  if [ -f "$out/$target.summary" ]; then cat "$out/$target.summary"; fi
done
exit "$failed"
