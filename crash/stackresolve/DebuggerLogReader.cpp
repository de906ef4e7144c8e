#include "crash/stackresolve/DebuggerLogReader.h"

#include "crash/stackresolve/HexToken.h"

namespace stackresolve {

bool CDebuggerLogReader::FeedLine(std::string_view line) {
  if (m_ended) return false;
  if (!m_inModulePart) {
    m_inModulePart = line.find(kModuleListHeading) != std::string_view::npos;
    return true;
  }
  if (line.starts_with("quit:")) {
    m_ended = true;
    return false;
  }
  // Both lengths must match: a stack line is nothing but hex digits and blanks.
  if (line.size() == kStackLineLength &&
      CutToken(line, TokenSet::StackLine).size() == kStackLineLength) {
    m_stackLines.emplace_back(line.substr(kStackWordsOffset));
    m_stackBegun = true;
    return true;
  }
  if (m_stackBegun) {
    m_ended = true;
    return false;
  }
  if (line.empty() || m_emptyLineSeen) {
    m_emptyLineSeen = true;
    return true;
  }
  m_modules.push_back(ParseModuleListLine(line));
  return true;
}

ModuleRange ParseModuleListLine(std::string_view line) {
  ModuleRange module;
  module.start = HexToUInt32(LeftPart(line, 8));
  module.end = HexToUInt32(MidPart(line, 9, 8));
  module.name = MidPart(line, 20);
  return module;
}

}  // namespace stackresolve
