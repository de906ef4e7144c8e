#pragma once
// One loaded module of the crashed process as the dump lists it. Plain data; any code of
// stackresolve and its tests may use it from any thread.
#include <cstdint>
#include <string>
#include <vector>

namespace stackresolve {

struct ModuleRange {
  std::string name;  // as read, including any status text the debugger put after it
  uint64_t start = 0;  // 32-bit layouts leave the upper half 0
  uint64_t end = 0;

  // The range is closed: a return address equal to the end still belongs to the module.
  bool Holds(uint64_t value) const { return value >= start && value <= end; }
};

// Every module holding value, in list order. Ranges may overlap (bad dumps give 0 to 0
// ranges), so a value can name several modules.
std::vector<const ModuleRange*> ModulesHolding(const std::vector<ModuleRange>& modules,
                                               uint64_t value);

}  // namespace stackresolve
