#pragma once
// Replacing a stored file so that a crash or a full disk leaves either the old file or the
// new one, never a truncated mix: the bytes go to a temporary file in the same folder, are
// flushed to disk, renamed over the target, and the folder is flushed so the rename holds.
#include <sys/types.h>

#include <string>
#include <string_view>

namespace platform {

// A replaced file keeps its permission bits; a new one gets newFileMode. On failure the
// target is untouched, no temporary file is left, false is returned and errno tells why.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, mode_t newFileMode = 0644);

}  // namespace platform
