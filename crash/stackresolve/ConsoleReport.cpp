#include "crash/stackresolve/ConsoleReport.h"

#include <cstdio>

#include "crash/stackresolve/HexToken.h"

namespace stackresolve {
namespace {

// The prefixed layout puts the addresses after a prefix of this many characters.
constexpr size_t kLinePrefixLength = 9;

std::string_view TrimBlanks(std::string_view text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

}  // namespace

ModuleRange ParseModulesIniLine(std::string_view line) {
  ModuleRange module;
  std::string_view addressField;
  size_t firstTab = line.find('\t');
  if (firstTab != std::string_view::npos) {
    module.name = line.substr(0, firstTab);
    size_t secondTab = line.find('\t', firstTab + 1);
    if (secondTab != std::string_view::npos) {
      addressField = line.substr(firstTab + 1, secondTab - firstTab - 1);
    }
  } else {
    size_t lastBackslash = line.rfind('\\');
    module.name = "  ";
    module.name += lastBackslash == std::string_view::npos ? line : line.substr(lastBackslash + 1);
    addressField = MidPart(line, kLinePrefixLength);
  }
  addressField = TrimBlanks(addressField);

  std::string_view token = CutToken(addressField, TokenSet::ModulesIniAddress);
  if (!token.empty()) module.start = HexToUInt32(token);
  addressField = DropTokenAndSeparator(addressField, token.size());
  token = CutToken(addressField, TokenSet::ModulesIniAddress);
  if (!token.empty()) module.end = HexToUInt32(token);
  return module;
}

std::string ReportStackIniLine(std::string_view line, const std::vector<ModuleRange>& modules) {
  std::string report;
  while (!line.empty()) {
    std::string_view token = CutToken(line, TokenSet::StackIniWord);
    if (token.size() == 8) {
      uint32_t value = HexToUInt32(token);
      for (const ModuleRange* module : ModulesHolding(modules, value)) {
        char numbers[48];
        int length = std::snprintf(numbers, sizeof numbers, " [%08x-%08x] - 0x%08x\n",
                                   static_cast<uint32_t>(module->start),
                                   static_cast<uint32_t>(module->end), value);
        report.append(module->name).append(numbers, static_cast<size_t>(length));
      }
    }
    line = DropTokenAndSeparator(line, token.size());
  }
  return report;
}

}  // namespace stackresolve
