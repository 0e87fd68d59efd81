#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first in the normal build, then
# in a build with AddressSanitizer and UndefinedBehaviorSanitizer. The sanitizer suite
# leaves out what instruments none of our code: the `packaging` tests (they build the
# Debian package with scripts/build-deb.sh, whatever the build, and run lintian and the
# validators on it) and the `long-copy` one (a 3 GiB copy under Xvfb); the normal suite
# runs them. Then builds the fuzz targets with clang and runs each over its seed corpus
# and for a short time (QV_FUZZ_SECONDS, 15 by default).
#
# Every compile, the package's included, goes through ccache, whose cache lives outside
# the clone, so a fresh clone reuses what an earlier run on this machine compiled.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(( $(nproc) * 2 ))

# The cache: $CCACHE_DIR when set, else ccache's own default under the home, else (no
# home, or none we can write, as in a CI job without HOME) a folder of ours in /var/tmp.
if [ -z "${CCACHE_DIR:-}" ]; then
  cache_home=${XDG_CACHE_HOME:-${HOME:+$HOME/.cache}}
  if [ -n "$cache_home" ] && mkdir -p "$cache_home/ccache" 2>/dev/null && [ -w "$cache_home/ccache" ]; then
    export CCACHE_DIR=$cache_home/ccache
  else
    export CCACHE_DIR=/var/tmp/ccache-$(id -u)
    mkdir -p -m 700 "$CCACHE_DIR"
    # /var/tmp is shared: a folder that someone else made could hand us their objects.
    if [ ! -O "$CCACHE_DIR" ]; then
      echo "$CCACHE_DIR belongs to someone else" >&2
      exit 1
    fi
  fi
fi
# Paths under the clone are hashed relative to it, and the build folder not at all, so
# that clones in other folders share the cache.
export CCACHE_BASEDIR=$PWD
export CCACHE_NOHASHDIR=true
# The package build's Debian flags map the clone's path to "." (-ffile-prefix-map). With
# the paths made relative above and the binaries stripped, the map changes nothing in
# the package, but as an option it would be hashed with the clone's path in it.
export CCACHE_IGNOREOPTIONS='-ffile-prefix-map=*'
# CMake takes these as the launchers of every build it configures: ours below, and the
# package builds that the packaging tests run.
export CMAKE_C_COMPILER_LAUNCHER=ccache
export CMAKE_CXX_COMPILER_LAUNCHER=ccache
stats() { ccache --print-stats | awk -v k="$1" '$1 == k { print $2 }'; }
hits_before=$(( $(stats direct_cache_hit) + $(stats preprocessed_cache_hit) ))
misses_before=$(stats cache_miss)

# run_suite BUILD_DIR [CTEST_ARG...] -- CMAKE_ARG...
run_suite() {
  local dir=$1; shift
  local ctest_args=()
  while [ "$1" != -- ]; do ctest_args+=("$1"); shift; done
  shift
  cmake -S . -B "$dir" -G Ninja -DQV_WERROR=ON -DQV_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$jobs" ${ctest_args[@]+"${ctest_args[@]}"})
}

echo "== normal build =="
run_suite build -- -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== sanitizer build (ASan + UBSan) =="
# Any sanitizer report aborts the process, so it fails its test.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
run_suite build-asan -LE '^(packaging|long-copy)$' -- -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON

echo "== fuzz targets (libFuzzer, ASan + UBSan) =="
cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQV_WERROR=ON -DQV_FUZZ=ON -DQV_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target fuzz
bash fuzz/run.sh build-fuzz "${QV_FUZZ_SECONDS:-15}"

hits=$(( $(stats direct_cache_hit) + $(stats preprocessed_cache_hit) - hits_before ))
echo "ccache ($CCACHE_DIR): $hits compiles reused, $(( $(stats cache_miss) - misses_before )) made" \
  "(counting any other build on this cache meanwhile); all done in $((SECONDS / 60)) min $((SECONDS % 60)) s"
