#pragma once
// Reads the console debugger's log (a module list followed by a stack dump) one line at a
// time, keeping the modules and the word part of every stack line. No file access: the
// caller feeds lines without their line ends. Used by stackresolve's command-script mode
// and its tests; single-threaded.
#include <string>
#include <string_view>
#include <vector>

#include "crash/stackresolve/ModuleRange.h"

namespace stackresolve {

// The line that heads the debugger's module list; the list starts on the next line.
inline constexpr std::string_view kModuleListHeading = "start    end        module name";

// A stack line is "aaaaaaaa  wwwwwwww wwwwwwww wwwwwwww wwwwwwww": 8 + 2 + 4 * 8 + 3.
inline constexpr size_t kStackLineLength = 45;
inline constexpr size_t kStackWordsOffset = 10;

class CDebuggerLogReader {
 public:
  // Returns false once the input has ended ("quit:", or the first line after the stack
  // dump); the caller stops reading there and feeds nothing more.
  bool FeedLine(std::string_view line);

  const std::vector<ModuleRange>& Modules() const { return m_modules; }
  // The four-word part of each stack line, in input order.
  const std::vector<std::string>& StackLines() const { return m_stackLines; }

 private:
  bool m_inModulePart = false;   // the heading has been seen
  bool m_emptyLineSeen = false;  // the module list is over; skip until the stack dump
  bool m_stackBegun = false;
  bool m_ended = false;
  std::vector<ModuleRange> m_modules;
  std::vector<std::string> m_stackLines;
};

// "ssssssss eeeeeeee   name [status]": start in columns 1-8, end in 10-17, and the
// name from column 21 to the end of the line.
ModuleRange ParseModuleListLine(std::string_view line);

}  // namespace stackresolve
