#include "platform/LockFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool TryDeleteLockFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved == EWOULDBLOCK ? EACCES : saved;
    return false;
  }
  const bool removed = unlink(path.c_str()) == 0 || errno == ENOENT;
  close(fd);
  return removed;
}

int CreateLockFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  if (ftruncate(fd, 0) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void ReleaseLockFile(int fd, const std::string& path) {
  if (fd < 0) return;
  unlink(path.c_str());
  close(fd);
}

}  // namespace platform
