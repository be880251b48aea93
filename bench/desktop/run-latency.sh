#!/usr/bin/env bash
# Starts a private desktop (Xvfb, Openbox, a session bus), the station with
# its demo library and Vorn, presses play, then runs latency.py. Needs a build
# in build/ and port 8080 free.
#
#     bench/desktop/run-latency.sh [ROUNDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${VORN_BUILD:-$root/build}"
work="$(mktemp -d)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; sleep 0.5; rm -rf "$work"; }
trap cleanup EXIT

export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
display=":$((90 + RANDOM % 100))"
Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 & pids+=($!)
sleep 1
export DISPLAY="$display"
openbox --sm-disable >/dev/null 2>&1 & pids+=($!)
dbus-daemon --session --nofork --nopidfile --address="unix:path=$work/bus" >/dev/null 2>&1 & pids+=($!)
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
"$build/station/app/vorn-station" --make-demo-library "$work/demo" --tracks 4 --track-seconds 120 --quiet
"$build/station/app/vorn-station" --music "$work/demo" --data "$work/station" --media-port 0 --cdn-port 0 \
    --rescan 0 --quiet & pids+=($!)
sleep 1.5
"$build/src/app/vorn" >"$work/vorn.out" 2>&1 & pids+=($!)
for _ in $(seq 100); do
  window="$(xdotool search --name '^Vorn Custom Radio$' 2>/dev/null | head -1 || true)"
  [ -n "$window" ] && break
  sleep 0.1
done
sleep 2
xdotool mousemove --window "$window" 72 66 click 1
for _ in $(seq 100); do grep -q "New Media Set" "$XDG_DATA_HOME/vorn/logs/vorn.log" 2>/dev/null && break; sleep 0.2; done
sleep 1
/usr/bin/python3 "$root/bench/desktop/latency.py" "$window" 72 66 "${1:-50}"
