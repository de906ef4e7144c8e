#pragma once
// Lock-file primitives for the single-instance rule. A running instance holds its lock file
// under an exclusive flock; "deleting" a lock file succeeds only when no process holds it,
// which is the behaviour the instance check relies on.
#include <string>

namespace platform {

// Removes the file unless a process holds its lock. true: removed or absent.
bool TryDeleteLockFile(const std::string& path);

// Creates (truncating) the file and takes its exclusive lock. Returns the descriptor, or -1
// (errno set) when it cannot be created or another process holds it.
int CreateLockFile(const std::string& path);

// Releases the lock, closes the descriptor and deletes the file.
void ReleaseLockFile(int fd, const std::string& path);

}  // namespace platform
