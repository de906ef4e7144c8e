#pragma once
// The plain-language description printed after an exception's event line.
#include <cstdint>

namespace sentrel {

// nullptr for a code without a description.
const char* ExceptionDescription(uint32_t code);

}  // namespace sentrel
