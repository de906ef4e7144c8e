#include "platform/LockFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

// Each retry means another process unlinked the file in between; that cannot go on long.
constexpr int kMaxTries = 100;

bool PathNamesFile(const std::string& path, int fd) {
  struct stat byPath{}, byFd{};
  if (fstat(fd, &byFd) != 0 || stat(path.c_str(), &byPath) != 0) return false;
  return byPath.st_dev == byFd.st_dev && byPath.st_ino == byFd.st_ino;
}

void CloseKeepingErrno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

}  // namespace

bool TryDeleteLockFile(const std::string& path) {
  for (int tries = 0; tries < kMaxTries; ++tries) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      errno = errno == EWOULDBLOCK ? EACCES : errno;
      CloseKeepingErrno(fd);
      return false;
    }
    // The file we locked may have been unlinked and the path given to a new holder.
    if (!PathNamesFile(path, fd)) {
      close(fd);
      continue;
    }
    const bool removed = unlink(path.c_str()) == 0 || errno == ENOENT;
    close(fd);
    return removed;
  }
  errno = EAGAIN;
  return false;
}

int CreateLockFile(const std::string& path) {
  for (int tries = 0; tries < kMaxTries; ++tries) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      CloseKeepingErrno(fd);
      return -1;
    }
    if (!PathNamesFile(path, fd)) {
      close(fd);
      continue;
    }
    if (ftruncate(fd, 0) != 0) {
      CloseKeepingErrno(fd);
      return -1;
    }
    return fd;
  }
  errno = EAGAIN;
  return -1;
}

void ReleaseLockFile(int fd, const std::string& path) {
  if (fd < 0) return;
  unlink(path.c_str());
  close(fd);
}

}  // namespace platform
