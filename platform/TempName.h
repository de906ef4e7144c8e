#pragma once
// Temporary file names: <dir><first 3 chars of prefix><4 hex digits>.tmp, the digits being
// the low 16 bits of the unique number. With unique 0 a number is picked and the empty
// file is created, so the name is reserved; otherwise the name is only formed.
#include <cstdint>
#include <string>

namespace platform {

// $TMPDIR or /tmp, ending in "/".
std::string TempDirectory();

// Returns the unique number used (0 on failure, errno set); the name goes to *name.
uint32_t GetTempFileName(const std::string& dir, const std::string& prefix, uint32_t unique,
                         std::string* name);

}  // namespace platform
