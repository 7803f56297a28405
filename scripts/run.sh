#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on its built-in default:
# the device simulator on 127.0.0.1:2000 with the demo firmware, and the window
# (or, where there is no display, the command-line tool updating the simulator).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
bash scripts/build.sh build -DFWUPDATE_SANITIZE= -DFWUPDATE_GUI=ON -DFWUPDATE_FUZZ=OFF -DFWUPDATE_TESTS=OFF \
  -DFWUPDATE_BENCHMARKS=OFF

bin=build
sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT

if [ -x "$bin/tools/fwdevsim/fwdevsim" ]; then
  # It prints "listening on ADDR:PORT" on stderr when ready, and one JSON line per session on stdout.
  sim_err=$(mktemp)
  "$bin/tools/fwdevsim/fwdevsim" --address 127.0.0.1 --port 2000 2> >(tee "$sim_err" >&2) &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q '^listening on' "$sim_err" && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q '^listening on' "$sim_err"; then
    echo "device simulator listening on 127.0.0.1:2000 (pid $sim_pid)"
  else
    echo "the device simulator did not start (is 127.0.0.1:2000 or :2101 in use?)" >&2
    cleanup
    sim_pid=""
  fi
  rm -f "$sim_err"
fi
demo="$bin/demo"
if [ -d "$demo" ]; then
  echo "demo firmware: $(ls "$demo"/*.cfg 2>/dev/null | head -1)"
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "starting the window: connect to 127.0.0.1 port 2000, then Update Firmware with the demo configuration"
  "$bin/app/fwupdate" "$@"
elif [ -x "$bin/tools/cli/fwupdate-cli" ] && [ -n "$sim_pid" ]; then
  echo "no display: updating the simulator with the command-line tool instead"
  "$bin/tools/cli/fwupdate-cli" update --device 127.0.0.1:2000 --config "$(ls "$demo"/*.cfg | head -1)" "$@"
else
  echo "no display (DISPLAY is not set): the window cannot open here."
  echo "run it on a desktop, or under Xvfb: xvfb-run -a $bin/app/fwupdate"
  if [ -n "$sim_pid" ]; then
    echo "the simulator runs on 127.0.0.1:2000; press Ctrl-C to stop it"
    wait "$sim_pid"
  fi
fi
