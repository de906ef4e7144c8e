#include "crash/stackresolve/DebuggerLogReader.h"

#include "crash/stackresolve/HexToken.h"

namespace stackresolve {

bool CDebuggerLogReader::FeedLine(std::string_view line) {
  if (m_ended) return false;
  if (!m_inModulePart) {
    // The 32-bit heading is looked for first, so a 32-bit log reads as it always did.
    for (const LogLayout& layout : {kLayout32, kLayout64}) {
      if (line.find(layout.heading) == std::string_view::npos) continue;
      m_layout = layout;
      m_inModulePart = true;
      break;
    }
    return true;
  }
  if (line.starts_with("quit:")) {
    m_ended = true;
    return false;
  }
  // Both lengths must match: a stack line is nothing but hex digits and blanks.
  const size_t stackLineLength = m_layout.StackLineLength();
  if (line.size() == stackLineLength &&
      CutToken(line, TokenSet::StackLine).size() == stackLineLength) {
    m_stackLines.emplace_back(line.substr(m_layout.StackWordsOffset()));
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
  m_modules.push_back(ParseModuleListLine(line, m_layout));
  return true;
}

ModuleRange ParseModuleListLine(std::string_view line, const LogLayout& layout) {
  const size_t digits = layout.wordDigits;
  ModuleRange module;
  module.start = HexToUInt64(LeftPart(line, digits));
  module.end = HexToUInt64(MidPart(line, layout.EndOffset(), digits));
  module.name = MidPart(line, layout.NameOffset());
  return module;
}

}  // namespace stackresolve
