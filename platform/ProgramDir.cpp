#include "platform/ProgramDir.h"

#include <unistd.h>

#include <climits>

namespace platform {
namespace {

std::string g_programDir;
std::string g_convertorDir;

std::string WithSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

std::string ExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  // A program file replaced while running still names the path it was started from.
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  return path;
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ToLocalPath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

const std::string& ProgramDirectory() {
  if (g_programDir.empty()) g_programDir = DirectoryOf(ExecutablePath());
  return g_programDir;
}

void SetProgramDirectory(const std::string& dir) { g_programDir = WithSlash(dir); }

const std::string& ConvertorDirectory() {
  if (g_convertorDir.empty()) return ProgramDirectory();
  return g_convertorDir;
}

void SetConvertorDirectory(const std::string& dir) { g_convertorDir = WithSlash(dir); }

}  // namespace platform
