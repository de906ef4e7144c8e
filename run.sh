#!/usr/bin/env bash
# Installs what is missing, builds, and runs the camera on its built-in defaults.
# Ctrl-C (or "build/bin/VantorHomeCamera -stop" from another shell) ends it cleanly.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

# Without a webcam the synthetic test scene stands in; without a display the program runs
# on the offscreen platform, where its window is never shown.
if [ -z "${VTCAM_CAPTURE:-}" ] && ! ls /dev/video[0-9] >/dev/null 2>&1; then
  export VTCAM_CAPTURE=test
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
fi

# The port mapper multicasts onto the local network; the demo records its call instead.
export VTCAM_PORT_MAPPER=${VTCAM_PORT_MAPPER:-$PWD/tools/upnpc-standin.sh}

exec ./scripts/demo.sh
