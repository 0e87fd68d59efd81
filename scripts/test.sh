#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: once in the normal
# build and once in a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# Then builds the fuzz targets with clang and runs each over its seed corpus and for
# a short time (QV_FUZZ_SECONDS, 15 by default).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(( $(nproc) * 2 ))

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQV_WERROR=ON -DQV_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$jobs")
}

echo "== normal build =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== sanitizer build (ASan + UBSan) =="
# Any sanitizer report aborts the process, so it fails its test.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON

echo "== fuzz targets (libFuzzer, ASan + UBSan) =="
cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQV_WERROR=ON -DQV_FUZZ=ON -DQV_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target fuzz
bash fuzz/run.sh build-fuzz "${QV_FUZZ_SECONDS:-15}"
