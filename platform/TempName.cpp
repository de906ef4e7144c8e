#include "platform/TempName.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/Tick.h"

namespace platform {

std::string TempDirectory() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = env && *env ? env : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

namespace {

std::string FormName(const std::string& dir, const std::string& prefix, uint32_t unique) {
  std::string d = dir.empty() ? TempDirectory() : dir;
  if (d.back() != '/') d += '/';
  char digits[8];
  std::snprintf(digits, sizeof(digits), "%04X", unique & 0xFFFFu);
  return d + prefix.substr(0, 3) + digits + ".tmp";
}

}  // namespace

uint32_t GetTempFileName(const std::string& dir, const std::string& prefix, uint32_t unique,
                         std::string* name) {
  if (unique != 0) {
    if (name) *name = FormName(dir, prefix, unique);
    return unique;
  }
  uint32_t start = GetTickCount() & 0xFFFFu;
  if (start == 0) start = 1;
  uint32_t n = start;
  do {
    const std::string candidate = FormName(dir, prefix, n);
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      if (name) *name = candidate;
      return n;
    }
    if (errno != EEXIST) return 0;
    n = (n + 1) & 0xFFFFu;
    if (n == 0) n = 1;
  } while (n != start);
  errno = EEXIST;
  return 0;
}

}  // namespace platform
