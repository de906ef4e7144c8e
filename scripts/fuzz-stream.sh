#!/usr/bin/env bash
# Builds the stream parser fuzz target with clang (libFuzzer + ASan + UBSan) and runs it.
#   scripts/fuzz-stream.sh [seconds] [build-dir]      (defaults: 600 s, /tmp/vt-fuzz-stream)
# The corpus grows in <build-dir>/corpus and is seeded with a small encoder FLV (when the
# ffmpeg command is there), a few hand-made FLV tag sequences and record streams; a
# crash leaves its input as <build-dir>/crash-* and makes the script fail.
set -euo pipefail

seconds="${1:-600}"
out="${2:-/tmp/vt-fuzz-stream}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cxx="$(command -v clang++-14 || command -v clang++)"

mkdir -p "$out/corpus"
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$root/tests/fuzz/stream_parser_fuzz.cpp" \
  "$root/media/PackageDataBuffer.cpp" "$root/media/StreamDataBuffer.cpp" \
  "$root/media/FLVStreamDataBuffer.cpp" "$root/media/PacketStreamDataBuffer.cpp" \
  "$root/net/DataBuffer.cpp" "$root/infra/Logger.cpp" \
  "$root/platform/Tick.cpp" "$root/platform/ProgramDir.cpp" "$root/platform/Profile.cpp" "$root/platform/AtomicFile.cpp" \
  "$root/platform/Thread.cpp" "$root/infra/ConfigIni.cpp" -lpthread \
  -o "$out/stream_parser_fuzz"

# Seeds: [mode][seed lo][seed hi][stream]. Mode 0/2/4/6: FLV with receives of at most
# 16/256/2048/8192 bytes; mode 1/3/5/7: length-prefixed records.
if command -v ffmpeg > /dev/null; then
  ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v libx264 -g 5 \
    -f flv "$out/encoder.flv"
  for mode in 00 02 04 06; do
    { printf "\x$mode\x11\x22"; cat "$out/encoder.flv"; } > "$out/corpus/seed-encoder-$mode.flv"
  done
fi
flv='FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00'
meta='\x12\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x0c'
key='\x09\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x17\x01\x00\x00\x00\x0d'
inter='\x09\x00\x00\x02\x00\x00\x28\x00\x00\x00\x00\x27\x01\x00\x00\x00\x0d'
audio='\x08\x00\x00\x02\x00\x00\x14\x00\x00\x00\x00\xaf\x01\x00\x00\x00\x0d'
printf "\x00\x01\x00$flv$meta$key$inter$audio$key$inter" > "$out/corpus/seed-tags-small.flv"
printf "\x02\x05\x00$flv$meta$audio$inter$key$audio$inter$key" > "$out/corpus/seed-tags-256.flv"
printf "\x01\x03\x00\x03\x00\x00\x00abc\x00\x00\x00\x00\x05\x00\x00\x00hello" > "$out/corpus/seed-records-small"
printf "\x07\x09\x00\x02\x00\x00\x00de\xff\xff\xff\xffzzzz" > "$out/corpus/seed-records-huge"

cd "$out"
exec ./stream_parser_fuzz -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
  -max_len=65536 corpus
