#pragma once
// Lock-file primitives for the single-instance rule. A running instance holds its lock file
// under an exclusive flock; "deleting" a lock file succeeds only when no process holds it,
// which is the behaviour the instance check relies on.
//
// A path is only ever unlinked by a process that holds the lock of the file the path names
// at that moment, and every lock taken is checked afterwards against what the path names
// (device and inode); a file unlinked between its open and its lock is never taken for held.
#include <string>

namespace platform {

// Removes the file unless a process holds its lock. true: removed or absent.
bool TryDeleteLockFile(const std::string& path);

// Opens (creating when needed) the file the path names, locks that very descriptor and
// truncates it. Returns the descriptor, or -1 (errno set; EWOULDBLOCK when another process
// holds the lock).
int CreateLockFile(const std::string& path);

// Deletes the file while its lock is still held, then closes the descriptor.
void ReleaseLockFile(int fd, const std::string& path);

}  // namespace platform
