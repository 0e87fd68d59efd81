#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: in the normal build, in a build
# with AddressSanitizer and UndefinedBehaviorSanitizer, and in a 32-bit x86 (i386) build,
# cross-compiled here. The i386 suite runs on this machine's kernel when it runs i386
# programs, else under Debian's qemu-user-static (registered for this run only, and the
# cases labelled native-i386 left out), else not at all: scripts/i386-suite.sh says
# which, and QV_I386=native|emulated|skip forces one. The sanitizer and i386 suites
# leave out the `packaging` tests (they build the amd64 Debian package with
# scripts/build-deb.sh, whatever the build, and run lintian and the validators on it) and
# the `long-copy` one (a 3 GiB copy under Xvfb); the normal suite runs them. Then runs
# the fuzz targets (built with clang) over their seed corpora and for a short time
# (QV_FUZZ_SECONDS, 15 by default).
#
# Most tests wait on processes, timers and the disk rather than compute, so the builds
# after the first one compile (at a lower priority) while the suites before them run.
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

configure() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQV_WERROR=ON "$@" >/dev/null
}
# run_suite BUILD_DIR [CTEST_ARG...]
run_suite() {
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$jobs" "$@")
}
# What each suite leaves out is said above.
suite_only=(-LE '^(packaging|long-copy)$')

# Decided once, before the normal suite, whose i386 package case follows the same way.
i386_way=$(bash scripts/i386-binfmt.sh way)
export QV_I386=$i386_way

elapsed() { echo "$((SECONDS / 60)) min $((SECONDS % 60)) s"; }
echo "== normal build =="
configure build -DQV_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build

# The other builds, one after the other, behind the suites, in a process group of their
# own that an early exit ends. Their output goes to a log that is shown when one fails;
# each one's end is marked by a file that the suite waiting for it looks for.
rm -f build-i386/.built build-asan/.built build-fuzz/.built
later_log=$(mktemp)
export -f configure
setsid bash -c '
  set -e
  configure build-i386 -DQV_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-i386.cmake"
  nice -n 10 cmake --build build-i386 && touch build-i386/.built
  configure build-asan -DQV_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON
  nice -n 10 cmake --build build-asan && touch build-asan/.built
  configure build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON \
    -DQV_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
  nice -n 10 cmake --build build-fuzz --target fuzz && touch build-fuzz/.built
' >"$later_log" 2>&1 &
later=$!
i386=""
i386_log=""
asan=""
asan_log=""
# Ends what still runs behind the suites, keeping the script's own exit status.
cleanup() {
  local rc=$?
  kill -- -"$later" 2>/dev/null || true
  [ -z "$i386" ] || kill "$i386" 2>/dev/null || true
  [ -z "$asan" ] || kill "$asan" 2>/dev/null || true
  [ "${QV_I386%%:*}" != emulated ] || bash scripts/i386-binfmt.sh down $$ || true
  rm -f -- ${later_log:+"$later_log"} ${i386_log:+"$i386_log"} ${asan_log:+"$asan_log"}
  exit "$rc"
}
trap cleanup EXIT
if [ "${QV_I386%%:*}" = emulated ]; then bash scripts/i386-binfmt.sh up $$; fi
await_build() {
  while [ ! -e "$1/.built" ]; do
    if ! kill -0 "$later" 2>/dev/null; then
      wait "$later" || true
      [ -e "$1/.built" ] && return 0
      cat "$later_log" >&2
      echo "the build in $1 failed" >&2
      exit 1
    fi
    sleep 1
  done
}

# Most of the normal suite waits (on the package builds and their checks, on processes
# and timers): the i386 and sanitizer suites run beside it, each as soon as its tree is
# built, and say what they found when the normal suite is done. They run at a lower
# priority, as the package builds and checks at the normal suite's start are what the
# whole run waits for longest.
echo "== normal suite, and the i386 and sanitizer suites beside it == (at $(elapsed))"
i386_log=$(mktemp)
(await_build build-i386 && nice -n 5 bash scripts/i386-suite.sh build-i386 "$jobs") >"$i386_log" 2>&1 &
i386=$!
asan_log=$(mktemp)
(
  await_build build-asan
  # Any sanitizer report aborts the process, so it fails its test.
  export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
  renice -n 5 -p "$BASHPID" >/dev/null
  run_suite build-asan "${suite_only[@]}"
) >"$asan_log" 2>&1 &
asan=$!
normal=0
run_suite build || normal=$?
i386_rc=0
wait "$i386" || i386_rc=$?
asan_rc=0
wait "$asan" || asan_rc=$?
echo "== i386 suite == (ended at $(elapsed))"
cat "$i386_log"
echo "== sanitizer suite (ASan + UBSan) =="
cat "$asan_log"
if [ "$normal" -ne 0 ] || [ "$i386_rc" -ne 0 ] || [ "$asan_rc" -ne 0 ]; then
  echo "the normal suite ended with $normal, the i386 suite with $i386_rc, the sanitizer suite with $asan_rc" >&2
  exit 1
fi

echo "== fuzz targets (libFuzzer, ASan + UBSan) == (at $(elapsed))"
await_build build-fuzz
wait "$later"
grep -v '^\[[0-9]*/[0-9]*\]' "$later_log" || true
bash fuzz/run.sh build-fuzz "${QV_FUZZ_SECONDS:-15}"

grep '^i386 suite:' "$i386_log" || echo "i386 suite: no summary (see its output above)"
hits=$(( $(stats direct_cache_hit) + $(stats preprocessed_cache_hit) - hits_before ))
echo "ccache ($CCACHE_DIR): $hits compiles reused, $(( $(stats cache_miss) - misses_before )) made" \
  "(counting any other build on this cache meanwhile); all done in $(elapsed)"
