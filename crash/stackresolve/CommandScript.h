#pragma once
// Turns the stack words of a debugger log into a command script for the same debugger:
// every word that points into a module gets an unassemble command around it, so that a
// second debugger run prints the likely call sites. Pure: text in, text out. Used by
// stackresolve's command-script mode and its tests; single-threaded.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crash/stackresolve/ModuleRange.h"

namespace stackresolve {

// Words below this are small integers or flags, never code addresses worth unassembling.
inline constexpr uint64_t kLowestCodeAddress = 0x1000;

// stackLines: the word parts kept by CDebuggerLogReader. A word is looked at only when it
// has exactly wordDigits hex digits (8, or 16 in a 64-bit log) and is at least
// kLowestCodeAddress; a value seen before (counting every token, also those not looked at)
// gets its command commented out, so the debugger does not print the same code twice.
// Addresses are written with as many digits as the words have. Always ends with the quit
// command.
std::string BuildCommandScript(const std::vector<ModuleRange>& modules,
                               const std::vector<std::string>& stackLines, size_t wordDigits = 8);

}  // namespace stackresolve
