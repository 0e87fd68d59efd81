#!/usr/bin/env bash
# The launcher's whole job on the bundled sample client, in one command:
#   1. installs what is missing, builds into build-demo/ and installs into
#      build-demo/install (standing in for the system-wide folder);
#   2. runs the installed launcher with a sandboxed home (build-demo/sandbox), on your
#      display when it can be reached, otherwise on an Xvfb server of its own: the
#      dialog installs the sample client, which then runs;
#   3. runs it again: nothing to do, the running client is left alone;
#   4. stages a newer build and runs it once more: the client is stopped, replaced and
#      started again;
#   5. stops the sample client.
# Your real home folder is never written to.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

build=$src/build-demo
prefix=$build/install
sandbox=$build/sandbox
home=$sandbox/home
user_folder=$home/.QuenvaleDrive
app=$user_folder/QuenvaleDrive.app
log=$user_folder/log/launcher.log

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
note() { printf '   %s\n' "$*"; }

# --- build and install ----------------------------------------------------------------
say "Installing missing Debian packages"
bash scripts/install-deps.sh

# A client left running by an earlier demo is stopped before its folder is replaced.
if [ -x "$app/package/start-stop" ]; then
  HOME=$home "$app/package/start-stop" stop || true
fi

say "Building into ${build#"$src"/}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=OFF \
  -DQV_SAMPLE_CLIENT=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

say "Installing into ${prefix#"$src"/} (the system-wide folder of this demo)"
rm -rf "$prefix" "$sandbox"
cmake --install "$build" --prefix "$prefix" >/dev/null
# The shipped level file logs warnings only; the demo wants the whole story.
sed -i -e 's/^launcher_debug=.*/launcher_debug=7/' -e 's/^service_debug=.*/service_debug=7/' \
  "$prefix/log/launcher.debug"
(cd "$prefix" && find . -maxdepth 3 -not -path './lib/plugins/*' | sort | sed 's/^/   /')

# --- sandbox and display --------------------------------------------------------------
mkdir -p "$home" "$sandbox/data" "$sandbox/config" "$sandbox/cache" "$sandbox/run"
chmod 700 "$sandbox/run"
# The X cookie still comes from the real home; nothing is written there.
if [ -z "${XAUTHORITY:-}" ] && [ -n "${HOME:-}" ] && [ -r "$HOME/.Xauthority" ]; then
  export XAUTHORITY=$HOME/.Xauthority
fi
export HOME=$home
export XDG_DATA_HOME=$sandbox/data XDG_CONFIG_HOME=$sandbox/config
export XDG_CACHE_HOME=$sandbox/cache XDG_RUNTIME_DIR=$sandbox/run
unset XDG_CURRENT_DESKTOP QT_QPA_PLATFORM

xvfb_pid=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -f "$sandbox/displayfd"
}
trap cleanup EXIT

display_reachable() {
  [ -n "${DISPLAY:-}" ] || return 1
  local host=${DISPLAY%%:*} number=${DISPLAY#*:}
  number=${number%%.*}
  # A local display is reachable when its socket is there; a remote one is trusted.
  if [ -z "$host" ] || [ "$host" = unix ]; then
    [ -S "/tmp/.X11-unix/X$number" ]
  fi
}

if display_reachable; then
  say "Using your display $DISPLAY"
else
  say "No display reachable: starting Xvfb"
  : >"$sandbox/displayfd"
  Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$sandbox/displayfd" \
    >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$sandbox/displayfd" ] && break
    sleep 0.1
  done
  [ -s "$sandbox/displayfd" ] || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(head -n 1 "$sandbox/displayfd")"
  unset XAUTHORITY
  note "Xvfb runs on display $DISPLAY"
fi

# --- helpers --------------------------------------------------------------------------
client_pid() { sed -n 's/^pid=\([0-9]*\)$/\1/p' "$user_folder/ui.pid" 2>/dev/null || true; }
build_of() { sed -n 's/^build_version=//p' "$1" 2>/dev/null || true; }

# Runs the installed launcher; $1 seconds keep the dialog up after the client started.
launch() {
  local status=0
  QV_SAMPLE_START_DELAY=$1 "$prefix/bin/launcher" || status=$?
  note "launcher exit status: $status"
  last_pid=$(sed -n 's/^[^(]*( *\([0-9]*\):.*/\1/p' "$log" | tail -n 1)
}

# Log lines of the last run (its process id is in every prefix).
last_run_log() { grep -F "($(printf '%5d' "$last_pid"):" "$log" | sed 's/^/   /'; }

show_client() {
  local pid
  pid=$(client_pid)
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    note "sample client running, pid $pid (build $(build_of "$app/INFO")):"
    ps -o pid=,sid=,etime=,args= -p "$pid" | sed 's/^/     /' || true
  else
    note "sample client not running"
  fi
}

# --- 1. first launch ------------------------------------------------------------------
say "First launch: no per-user copy yet, so the dialog installs the sample client"
launch 2
say "The per-user tree"
(cd "$home" && find .QuenvaleDrive | sort | sed 's/^/   /')
show_client
say "Last lines of ${log#"$build"/}"
tail -n 12 "$log" | sed 's/^/   /'
first_client=$(client_pid)

# --- 2. nothing to do -----------------------------------------------------------------
say "Second launch: same build, nothing to do"
launch 0
last_run_log | grep -E 'running|need to upgrade|done' || true
if [ "$(client_pid)" = "$first_client" ]; then
  note "the running client (pid $first_client) was left alone"
fi

# --- 3. upgrade -----------------------------------------------------------------------
old_build=$(build_of "$prefix/INFO")
new_build=$((old_build + 1))
say "Staging build $new_build in the system-wide folder (was $old_build)"
sed -i "s/^build_version=.*/build_version=$new_build/" "$prefix/INFO" \
  "$prefix/package/skylodge/INFO"

say "Third launch: the running client is stopped, its copy replaced and started again"
launch 2
last_run_log | grep -E 'version =|local appdata|copy package|ready|done' || true
if kill -0 "$first_client" 2>/dev/null && ps -o stat= -p "$first_client" | grep -qv Z; then
  note "old client $first_client still runs"
else
  note "old client $first_client has stopped"
fi
show_client
note "per-user copy is now build $(build_of "$app/INFO")"

# --- 4. done --------------------------------------------------------------------------
say "Stopping the sample client"
"$app/package/start-stop" stop
show_client
note "everything of this demo is under ${build#"$src"/}; remove that folder to undo it"
