#!/usr/bin/env bash
# Builds the FTP reply reader / PASV parser fuzz target with clang (libFuzzer + ASan +
# UBSan) and runs it.
#   scripts/fuzz-ftp.sh [seconds] [build-dir]      (defaults: 600 s, /tmp/vt-fuzz-ftp)
# The corpus grows in <build-dir>/corpus and is seeded with a few server conversations;
# a crash leaves its input as <build-dir>/crash-* and makes the script fail.
set -euo pipefail

seconds="${1:-600}"
out="${2:-/tmp/vt-fuzz-ftp}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cxx="$(command -v clang++-14 || command -v clang++)"

mkdir -p "$out/corpus"
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$root/tests/fuzz/ftp_reply_fuzz.cpp" \
  "$root/remote/FtpControl.cpp" "$root/remote/FtpReply.cpp" "$root/infra/Logger.cpp" \
  "$root/platform/Tick.cpp" "$root/platform/ProgramDir.cpp" "$root/platform/Profile.cpp" \
  "$root/platform/Thread.cpp" "$root/infra/ConfigIni.cpp" "$root/platform/AtomicFile.cpp" -lpthread \
  -o "$out/ftp_reply_fuzz"

# Seeds: [piece-size seed][server bytes].
printf '\x01220-hello\r\n221 not yet\r\n220 in\r\n227 Entering Passive Mode (192,168,1,10,19,137).\r\n' \
  > "$out/corpus/seed-greeting"
printf '\x07331 password\r\n227 (127,0,0,1,4,1)\r\n227 no parenthesis 1,2,3,4,5,6\r\n' > "$out/corpus/seed-pasv"
{ printf '\x33150-'; head -c 700 /dev/zero | tr '\0' 'x'; printf '\r\n150 go\r\n226 ok\r\n'; } \
  > "$out/corpus/seed-long-line"

cd "$out"
exec ./ftp_reply_fuzz -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
  -max_len=4096 corpus
