#!/usr/bin/env bash
# Runs the built program, tells where to watch it once it listens, and stays in the
# foreground until it ends. Ctrl-C ends the program through its normal shutdown.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
log=$bin/VantorHomeCamera.log

lines_before=$( [ -f "$log" ] && wc -l < "$log" || echo 0 )

# The stand-in bridge server on loopback, unless a bridge server is configured.
bridge_pid="" viewer=""
if [ -z "${VTCAM_BRIDGE_SERVER:-}" ]; then
  bridge_out=$(mktemp)
  /usr/bin/python3 tools/bridge_standin.py --port 0 >"$bridge_out" &
  bridge_pid=$!
  for _ in $(seq 1 50); do [ -s "$bridge_out" ] && break; sleep 0.1; done
  read -r _ bridge_port _ viewer _ < "$bridge_out" || true
  [ -n "${bridge_port:-}" ] && export VTCAM_BRIDGE_SERVER=127.0.0.1:$bridge_port
fi
stop_bridge() { [ -n "$bridge_pid" ] && kill "$bridge_pid" 2>/dev/null || true; }

"$bin/VantorHomeCamera" &
pid=$!
trap 'kill -TERM $pid 2>/dev/null || true' INT TERM

echo "Vantor Home Camera (pid $pid): program directory $bin, log $log"
echo "capture source: ${VTCAM_CAPTURE:-v4l2}"
port=""
for _ in $(seq 1 100); do
  port=$(tail -n +"$((lines_before + 1))" "$log" 2>/dev/null |
         sed -n 's/.*Camera Http Server startup! listen port=\([0-9]*\).*/\1/p' | tail -n 1)
  [ -n "$port" ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
if [ -n "$port" ]; then
  echo "live stream:    http://127.0.0.1:$port/vdata.flv   (for example: ffplay http://127.0.0.1:$port/vdata.flv)"
  echo "snapshot:       http://127.0.0.1:$port/snapshot.htm"
  [ -n "$viewer" ] && echo "through the stand-in bridge ($VTCAM_BRIDGE_SERVER): http://127.0.0.1:$viewer/vdata.flv" \
    "(the camera registers about 3 s after start)"
else
  echo "the camera HTTP server did not report a port; see $log"
fi
echo "stop with Ctrl-C or: $bin/VantorHomeCamera -stop"
wait $pid || true
wait $pid 2>/dev/null || true
stop_bridge
