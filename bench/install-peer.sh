#!/bin/sh
# The peer daemon for bench/side_by_side.py. Kept apart from scripts/install-deps.sh: the
# product and its tests never need it.
set -e
if dpkg -s motion >/dev/null 2>&1; then exit 0; fi
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends motion
# The package enables a system service on some set-ups; the bench starts its own copy.
if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
  $SUDO systemctl disable --now motion 2>/dev/null || true
fi
