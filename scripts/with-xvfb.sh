#!/usr/bin/env bash
# Runs a command with DISPLAY set to an X server of its own (Xvfb, which picks a free display number itself,
# so that several runs at once never meet) and ends the server afterwards; exits with the command's code.
#   scripts/with-xvfb.sh command [arguments...]
# FWUPDATE_XVFB_SCREEN sets the screen (default 1280x1024x24; 1366x768x24 is a laptop's).
set -euo pipefail
tmp=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 "${FWUPDATE_XVFB_SCREEN:-1280x1024x24}" -nolisten tcp 3>"$tmp/display" 2>"$tmp/log" &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; rm -rf "$tmp"' EXIT
for _ in $(seq 200); do
  [ -s "$tmp/display" ] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.05
done
display=$(head -n 1 "$tmp/display" 2>/dev/null || true)
if [ -z "$display" ]; then
  echo "with-xvfb: Xvfb did not start:" >&2
  cat "$tmp/log" >&2
  exit 1
fi
DISPLAY=:$display "$@"
