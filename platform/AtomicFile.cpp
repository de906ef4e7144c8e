#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, mode_t newFileMode) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  auto fail = [&](bool open) {
    const int error = errno;
    if (open) close(fd);
    unlink(temp.c_str());
    errno = error;
    return false;
  };
  for (size_t written = 0; written < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(true);
    }
    written += static_cast<size_t>(n);
  }
  struct stat old {};
  fchmod(fd, stat(path.c_str(), &old) == 0 ? old.st_mode & 07777 : newFileMode);
  if (fsync(fd) != 0) return fail(true);
  if (close(fd) != 0) return fail(false);
  if (rename(temp.c_str(), path.c_str()) != 0) return fail(false);
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);  // best effort: the new contents are already whole on disk
    close(dirFd);
  }
  return true;
}

}  // namespace platform
