// libFuzzer target (scripts/fuzz-ftp.sh): [split seed][server bytes...] arrive on a socket in pieces;
// the reply reader must agree with a model of multi-line replies; later lines go to the PASV parser.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "remote/FtpControl.h"
#include "remote/FtpReply.h"

namespace {

void Check(bool condition) { if (!condition) __builtin_trap(); }

int ModelReply(const std::string& bytes, size_t* at) {
  long long code = 0;
  for (bool first = true;; first = false) {
    const size_t feed = bytes.find('\n', *at);
    if (feed == std::string::npos) return -2;
    const std::string line = bytes.substr(*at, std::min<size_t>(feed - *at, 511)).c_str();
    *at = feed + 1;
    const char* c = line.c_str();
    const bool numbered = line.size() >= 4 && std::all_of(c, c + 3, [](char d) { return d >= '0' && d <= '9'; });
    if (first) code = std::clamp<long long>(std::strtoll(c, nullptr, 10), INT32_MIN, INT32_MAX);
    if (first ? !(line.size() >= 4 && c[3] == '-') : numbered && c[3] == ' ' && std::atoi(c) == code) {
      return c[0] >= '0' && c[0] <= '9' ? c[0] - '0' : 0;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int pair[2];
  if (size < 1 || socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (size_t at = 0, piece = data[0] % 64 + 1; at < bytes.size(); at += piece, piece = piece * 7 % 97 + 1) {
    piece = std::min(piece, bytes.size() - at);
    Check(write(pair[1], bytes.data() + at, piece) == static_cast<ssize_t>(piece));
  }
  close(pair[1]);
  size_t at = 0;
  const int expected = ModelReply(bytes, &at);
  Check(remote::FtpReadReply(pair[0]) == expected);
  char line[remote::kFtpPasvLineSize];
  while (expected >= 0 && remote::FtpReadLine(pair[0], line, sizeof(line)) == 0) {
    const size_t feed = bytes.find('\n', at);
    Check(feed != std::string::npos && std::strlen(line) <= std::min<size_t>(feed - at, 255));
    Check(std::memcmp(line, bytes.data() + at, std::strlen(line)) == 0);
    at = feed + 1;
    remote::FtpPassiveTarget target;
    const int parsed = remote::ParsePasvReply(line, &target);
    Check(parsed == -1 || (parsed == 0 && std::strchr(line, '(') && std::strlen(target.host) >= 7));
  }
  close(pair[0]);
  return 0;
}
