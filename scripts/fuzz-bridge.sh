#!/usr/bin/env bash
# Builds the bridge message parser fuzz target with clang (libFuzzer + ASan + UBSan) and
# runs it.
#   scripts/fuzz-bridge.sh [seconds] [build-dir]      (defaults: 600 s, /tmp/vt-fuzz-bridge)
# The corpus grows in <build-dir>/corpus, seeded with a few server streams; a crash leaves
# its input as <build-dir>/crash-* and makes the script fail.
set -euo pipefail

seconds="${1:-600}"
out="${2:-/tmp/vt-fuzz-bridge}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cxx="$(command -v clang++-14 || command -v clang++)"

mkdir -p "$out/corpus"
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$root/tests/fuzz/bridge_message_fuzz.cpp" "$root/remote/HttpBridgeMessages.cpp" \
  -o "$out/bridge_message_fuzz"

# Seeds: [split seed][server bytes].
printf '\x03HEARTBEAT\0CONNECT:127.0.0.1:4000\0DATETIME:2026-12-07 20:00:00 +0800\0' > "$out/corpus/seed-mixed"
printf '\x05\0\0RELOGIN:\0RELOGIN:10.0.0.1:8089\0GO2NIC:nic:80\0CONNECT:late\0' > "$out/corpus/seed-nic"
{ printf '\x01'; head -c 1100 /dev/zero | tr '\0' 'x'; printf '\0CONNECT:a\0'; } > "$out/corpus/seed-long"

cd "$out"
exec ./bridge_message_fuzz -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
  -max_len=8192 corpus
