#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo use. Idempotent:
# packages already present are skipped, so a second run does not touch the network.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  qt6-base-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libcurl4-openssl-dev
  miniupnpc
  ffmpeg
  python3 python3-pyftpdlib python3-pytest
  libxml2-utils
  procps iproute2
  qt6-qpa-plugins xvfb wmdocker xdotool python3-xlib
  fonts-noto-cjk
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
