#include "crash/stackresolve/CommandScript.h"

#include <cstdio>
#include <set>
#include <string_view>

#include "crash/stackresolve/HexToken.h"

namespace stackresolve {
namespace {

void AppendUnassemble(std::string& script, uint64_t value, bool firstTime, size_t wordDigits) {
  char text[96];
  // 0x30 bytes before the address show the call instruction, 0x30 after show where the
  // call returned to; a leading "*" makes the debugger skip the line.
  const int width = static_cast<int>(wordDigits);
  const unsigned long long v = value;
  int length = std::snprintf(text, sizeof text,
                             firstTime ? "U 0x%0*llx L-30;U 0x%0*llx L30\n"
                                       : "* 0x%0*llx L-30;U 0x%0*llx L30\n",
                             width, v, width, v);
  script.append(text, static_cast<size_t>(length));
}

}  // namespace

std::string BuildCommandScript(const std::vector<ModuleRange>& modules,
                               const std::vector<std::string>& stackLines, size_t wordDigits) {
  std::set<uint64_t> seenValues;
  std::string script;
  for (const std::string& stackLine : stackLines) {
    std::string_view rest = stackLine;
    while (!rest.empty()) {
      std::string_view token = CutToken(rest, TokenSet::StackWord);
      // A 32-bit log keeps 32-bit sums, so an overlong token is "seen" as it always was.
      uint64_t value = wordDigits > 8 ? HexToUInt64(token) : HexToUInt32(token);
      bool firstTime = seenValues.insert(value).second;
      rest = DropTokenAndSeparator(rest, token.size());
      if (token.size() != wordDigits || value < kLowestCodeAddress) continue;
      for (const ModuleRange* module : ModulesHolding(modules, value)) {
        script.append("*Dump ").append(module->name).append("\n");
        AppendUnassemble(script, value, firstTime, wordDigits);
      }
    }
  }
  script.append("q\n");
  return script;
}

}  // namespace stackresolve
