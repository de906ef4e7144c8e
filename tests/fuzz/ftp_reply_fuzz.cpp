// libFuzzer target for the FTP client's reply reader and PASV parser. The input is what a
// server sends, written into a socket pair in pieces of pseudo-random sizes; the real
// reader (FtpReadReply, byte at a time) takes one reply, then FtpReadLine and
// ParsePasvReply take the rest line by line. Beyond the sanitizers it checks the reply's
// class and where it ended against an independent model, and that the bytes after the
// reply stay unread. Built by scripts/fuzz-ftp.sh, not by CMake.
//
// Input: [seed lo][seed hi][server bytes...].
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "remote/FtpControl.h"
#include "remote/FtpReply.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool Digit(char c) { return c >= '0' && c <= '9'; }

// The reply rule written out again: the class and the byte just past the reply's last line
// feed, or -2 when the stream ends first.
int ModelReply(const std::string& bytes, size_t* end) {
  int code = 0;
  for (size_t at = 0, lines = 0;; ++lines) {
    const size_t feed = bytes.find('\n', at);
    if (feed == std::string::npos) return -2;
    std::string line = bytes.substr(at, std::min<size_t>(feed - at, 511));
    line.resize(std::strlen(line.c_str()));  // the reader's zero-terminated view
    at = feed + 1;
    const char* c = line.c_str();
    bool last;
    if (lines == 0) {
      const long long value = std::strtoll(c, nullptr, 10);
      code = static_cast<int>(std::max<long long>(INT32_MIN, std::min<long long>(INT32_MAX, value)));
      last = !(line.size() >= 4 && line[3] == '-');
    } else {
      last = line.size() >= 4 && Digit(c[0]) && Digit(c[1]) && Digit(c[2]) && c[3] == ' ' &&
             (c[0] - '0') * 100 + (c[1] - '0') * 10 + (c[2] - '0') == code;
    }
    if (last) {
      *end = at;
      return Digit(c[0]) ? c[0] - '0' : 0;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 65536) return 0;
  uint32_t state = (data[0] | (data[1] << 8)) * 2654435761u + 1;
  const std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
  for (size_t at = 0; at < bytes.size();) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    const size_t piece = std::min<size_t>(1 + state % 97, bytes.size() - at);
    Check(write(pair[1], bytes.data() + at, piece) == static_cast<ssize_t>(piece));
    at += piece;
  }
  close(pair[1]);

  size_t end = 0;
  const int expected = ModelReply(bytes, &end);
  Check(remote::FtpReadReply(pair[0]) == expected);
  if (expected >= 0) {
    char line[remote::kFtpPasvLineSize];
    for (size_t at = end; remote::FtpReadLine(pair[0], line, sizeof(line)) == 0;) {
      const size_t feed = bytes.find('\n', at);
      Check(feed != std::string::npos);
      Check(std::strlen(line) <= std::min<size_t>(feed - at, 255));
      Check(std::memcmp(line, bytes.data() + at, std::strlen(line)) == 0);
      at = feed + 1;
      remote::FtpPassiveTarget target;
      const int parsed = remote::ParsePasvReply(line, &target);
      Check(parsed == 0 || parsed == -1);
      Check(parsed == -1 || (std::strchr(line, '(') != nullptr && std::strchr(line, ')') != nullptr));
      if (parsed == 0) Check(std::strlen(target.host) >= 7 && std::strlen(target.port) >= 1);
    }
  }
  close(pair[0]);
  return 0;
}
