#include "crash/stackresolve/ModuleRange.h"

namespace stackresolve {

std::vector<const ModuleRange*> ModulesHolding(const std::vector<ModuleRange>& modules,
                                               uint64_t value) {
  std::vector<const ModuleRange*> holding;
  for (const ModuleRange& module : modules) {
    if (module.Holds(value)) holding.push_back(&module);
  }
  return holding;
}

}  // namespace stackresolve
