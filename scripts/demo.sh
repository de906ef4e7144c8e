#!/usr/bin/env bash
# Runs the built program in the foreground and tells where to watch it.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin

port=$(sed -n 's/.*<ListenPort>\([0-9]*\)<.*/\1/p' "$bin/CameraInfo.xml" 2>/dev/null | head -n 1)
echo "Vantor Home Camera: program directory $bin, log $bin/VantorHomeCamera.log"
echo "capture source: ${VTCAM_CAPTURE:-v4l2}"
echo "live stream:    http://127.0.0.1:${port:-<listen port, see the log>}/vdata.flv"
echo "snapshot:       http://127.0.0.1:${port:-<listen port>}/snapshot.htm"
echo "stop with Ctrl-C or: $bin/VantorHomeCamera -stop"
exec "$bin/VantorHomeCamera"
