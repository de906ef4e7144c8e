#include "crash/stackresolve/TextFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/types.h>

namespace stackresolve {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// getline's buffer, grown by getline itself and freed on every way out.
struct LineBuffer {
  char* data = nullptr;
  size_t capacity = 0;
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() { std::free(data); }
};

}  // namespace

FileError ReadTextLines(const std::string& path,
                        const std::function<bool(std::string_view)>& onLine) {
  FilePtr file(std::fopen(path.c_str(), "r"));
  if (file == nullptr) return {errno, "open"};

  LineBuffer buffer;
  for (;;) {
    errno = 0;
    ssize_t length = ::getline(&buffer.data, &buffer.capacity, file.get());
    if (length < 0) {
      // Reading a directory opens fine and fails here with EISDIR.
      if (std::ferror(file.get()) != 0) return {errno != 0 ? errno : EIO, "read"};
      return {};
    }
    std::string_view line(buffer.data, static_cast<size_t>(length));
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!onLine(line)) return {};
  }
}

FileError WriteTextFile(const std::string& path, std::string_view text) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return {errno, "open"};
  errno = 0;
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                 std::fflush(file) == 0;
  int savedErrno = errno;
  if (std::fclose(file) != 0 && written) {
    written = false;
    savedErrno = errno;
  }
  if (!written) return {savedErrno != 0 ? savedErrno : EIO, "write"};
  return {};
}

std::string DescribeFileError(const std::string& path, const FileError& error) {
  return std::string("cannot ") + error.operation + " " + path + ": " +
         std::strerror(error.errorNumber);
}

}  // namespace stackresolve
