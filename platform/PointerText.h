#pragma once
// Objects are told apart in log lines by the low 32 bits of their address, printed "%x".
#include <cstdint>

namespace platform {

inline unsigned LowAddress(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace platform
