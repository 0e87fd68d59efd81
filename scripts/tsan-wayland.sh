#!/usr/bin/env bash
# Runs the Wayland end-to-end case (the installed launcher in a headless weston session)
# with ThreadSanitizer, which sees what the other sanitizers miss in the Wayland
# platform's teardown. A clang build with -fsanitize=thread goes to build-tsan/ (or
# $QV_TSAN_BUILD_DIR); only what that case runs is built. Any report fails the case.
#
#   bash scripts/tsan-wayland.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=${QV_TSAN_BUILD_DIR:-$PWD/build-tsan}
flags="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR=ON -DQV_BUILD_TESTS=ON \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$build" --target test_wayland_smoke

# The first report ends the process with status 66: the launcher's exit status is what
# the case checks, and a process that leaves through _exit never gets to TSan's own
# end-of-run verdict. The suppressions file says what it leaves out, and why.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/e2e/tsan.supp"
ctest --test-dir "$build" -R '^WaylandSmoke\.' --output-on-failure
