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
  libcurl4-openssl-dev libsodium-dev
  miniupnpc
  ffmpeg
  python3 python3-pyftpdlib python3-pytest
  libxml2-utils
  procps iproute2
  qt6-qpa-plugins xvfb xauth wmdocker xdotool python3-xlib
  gdb
  chromium fonts-noto-cjk
)
# The browser viewer's npm packages; a machine that brings its own Node.js keeps it.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

# The viewer's player and the browser test's driver, at the versions its lock file pins.
install_web_packages() {
  local web
  web="$(dirname "$0")/../web"
  if [ ! -d "$web/node_modules" ]; then
    (cd "$web" && npm ci --no-audit --no-fund)
  fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  install_web_packages
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
install_web_packages
