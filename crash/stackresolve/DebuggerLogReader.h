#pragma once
// Reads the console debugger's log (a module list followed by a stack dump) one line at a
// time, keeping the modules and the word part of every stack line. No file access: the
// caller feeds lines without their line ends. Used by stackresolve's command-script mode
// and its tests; single-threaded.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "crash/stackresolve/ModuleRange.h"

namespace stackresolve {

// The column layout of one log, chosen by the heading of its module list. Module lines are
// "start end   name" (start and end of wordDigits each, one blank, three blanks); stack
// lines are "address  w w w w" (five numbers of wordDigits, two blanks, single blanks).
struct LogLayout {
  std::string_view heading;
  size_t wordDigits;

  constexpr size_t StackLineLength() const { return 5 * wordDigits + 2 + 3; }
  constexpr size_t StackWordsOffset() const { return wordDigits + 2; }
  constexpr size_t EndOffset() const { return wordDigits + 1; }
  constexpr size_t NameOffset() const { return 2 * wordDigits + 4; }
};

// The line that heads the debugger's module list; the list starts on the next line.
inline constexpr std::string_view kModuleListHeading = "start    end        module name";
// The same heading over 16-digit columns, as 64-bit dumps write it.
inline constexpr std::string_view kModuleListHeading64 =
    "start            end                module name";

inline constexpr LogLayout kLayout32{kModuleListHeading, 8};
inline constexpr LogLayout kLayout64{kModuleListHeading64, 16};

// A 32-bit stack line is "aaaaaaaa  wwwwwwww wwwwwwww wwwwwwww wwwwwwww": 8 + 2 + 4 * 8 + 3.
inline constexpr size_t kStackLineLength = 45;
inline constexpr size_t kStackWordsOffset = 10;
static_assert(kLayout32.StackLineLength() == kStackLineLength &&
              kLayout32.StackWordsOffset() == kStackWordsOffset);

class CDebuggerLogReader {
 public:
  // Returns false once the input has ended ("quit:", or the first line after the stack
  // dump); the caller stops reading there and feeds nothing more.
  bool FeedLine(std::string_view line);

  const std::vector<ModuleRange>& Modules() const { return m_modules; }
  // The four-word part of each stack line, in input order.
  const std::vector<std::string>& StackLines() const { return m_stackLines; }
  // 8 until a 64-bit heading has been read.
  size_t WordDigits() const { return m_layout.wordDigits; }

 private:
  LogLayout m_layout = kLayout32;
  bool m_inModulePart = false;   // the heading has been seen
  bool m_emptyLineSeen = false;  // the module list is over; skip until the stack dump
  bool m_stackBegun = false;
  bool m_ended = false;
  std::vector<ModuleRange> m_modules;
  std::vector<std::string> m_stackLines;
};

// "ssssssss eeeeeeee   name [status]": start in columns 1-8, end in 10-17, and the
// name from column 21 to the end of the line; twice as wide columns in the 64-bit layout.
ModuleRange ParseModuleListLine(std::string_view line, const LogLayout& layout = kLayout32);

}  // namespace stackresolve
