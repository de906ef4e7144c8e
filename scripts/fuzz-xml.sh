#!/usr/bin/env bash
# Builds the CXmlDocument fuzz target with clang (libFuzzer + ASan + UBSan) and runs it.
#   scripts/fuzz-xml.sh [seconds] [build-dir]      (defaults: 600 s, /tmp/vt-fuzz-xml)
# The corpus grows in <build-dir>/corpus and is seeded with the repository's XML samples;
# a crash leaves its input as <build-dir>/crash-* and makes the script fail.
set -euo pipefail

seconds="${1:-600}"
out="${2:-/tmp/vt-fuzz-xml}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cxx="$(command -v clang++-14 || command -v clang++)"

mkdir -p "$out/corpus"
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$root/tests/fuzz/xml_document_fuzz.cpp" "$root/infra/XmlDocument.cpp" "$root/platform/AtomicFile.cpp" \
  -o "$out/xml_document_fuzz"

# Seeds: a written CameraInfo.xml shape and a few markup kinds the parser knows.
printf '<?xml version=\x27\x31.0\x27 ?>\r\n<CameraInfos listenPort="8080" cameraID="qm41" webAdminPassword="580317">\r\n<CameraInfo channelID="0" alarmStatus="0" audioEnable="0">\r\n<FTPConfig id="0" serverAddr="127.0.0.1" userName="qm41" password="580317" remotePath="./" port="21"/>\r\n</CameraInfo>\r\n</CameraInfos>\r\n' > "$out/corpus/seed-camerainfo.xml"
printf '<!DOCTYPE r [<!ENTITY e "x>">]><r a=\x27&amp;&#65;&#x4E2D;\x27><!-- c --><![CDATA[<x>]]><?pi d?><b/>t &lt; u</r>' > "$out/corpus/seed-kinds.xml"
printf '<r><a><b></a></c>' > "$out/corpus/seed-unpaired.xml"

cd "$out"
exec ./xml_document_fuzz -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
  -max_len=4096 corpus
