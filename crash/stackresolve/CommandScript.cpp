#include "crash/stackresolve/CommandScript.h"

#include <cstdio>
#include <set>
#include <string_view>

#include "crash/stackresolve/HexToken.h"

namespace stackresolve {
namespace {

void AppendUnassemble(std::string& script, uint32_t value, bool firstTime) {
  char text[64];
  // 0x30 bytes before the address show the call instruction, 0x30 after show where the
  // call returned to; a leading "*" makes the debugger skip the line.
  int length = std::snprintf(text, sizeof text,
                             firstTime ? "U 0x%08x L-30;U 0x%08x L30\n"
                                       : "* 0x%08x L-30;U 0x%08x L30\n",
                             value, value);
  script.append(text, static_cast<size_t>(length));
}

}  // namespace

std::string BuildCommandScript(const std::vector<ModuleRange>& modules,
                               const std::vector<std::string>& stackLines) {
  std::set<uint32_t> seenValues;
  std::string script;
  for (const std::string& stackLine : stackLines) {
    std::string_view rest = stackLine;
    while (!rest.empty()) {
      std::string_view token = CutToken(rest, TokenSet::StackWord);
      uint32_t value = HexToUInt32(token);
      bool firstTime = seenValues.insert(value).second;
      rest = DropTokenAndSeparator(rest, token.size());
      if (token.size() != 8 || value < kLowestCodeAddress) continue;
      for (const ModuleRange* module : ModulesHolding(modules, value)) {
        script.append("*Dump ").append(module->name).append("\n");
        AppendUnassemble(script, value, firstTime);
      }
    }
  }
  script.append("q\n");
  return script;
}

}  // namespace stackresolve
