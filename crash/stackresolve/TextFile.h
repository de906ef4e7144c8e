#pragma once
// Whole-file text input and output for stackresolve, with the errno of whatever failed so
// the tool can say why. Used by stackresolve's main only; single-threaded.
#include <functional>
#include <string>
#include <string_view>

namespace stackresolve {

struct FileError {
  int errorNumber = 0;            // errno of the failed call; 0 when all went well
  const char* operation = "";     // "open", "read" or "write", for the message

  explicit operator bool() const { return errorNumber != 0; }
};

// Calls onLine with each line of the file without its line end, until onLine returns
// false or the file ends. A "\r\n" end counts as a line end too: the logs usually come
// from the debugger's own machine.
FileError ReadTextLines(const std::string& path,
                        const std::function<bool(std::string_view)>& onLine);

// Creates or empties path and writes text. A failure to flush counts: a truncated script
// must not be reported as written.
FileError WriteTextFile(const std::string& path, std::string_view text);

// "cannot open stack.ini: No such file or directory"
std::string DescribeFileError(const std::string& path, const FileError& error);

}  // namespace stackresolve
