#include "media/StaticFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "media/RequestReader.h"

namespace {

// The viewer's largest file is its player script of a few hundred KiB.
constexpr long long kMaxFileBytes = 8 << 20;

// The real path of a name, or "" when it does not exist.
std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

class FileHandle {
 public:
  explicit FileHandle(int fd) : m_fd(fd) {}
  ~FileHandle() {
    if (m_fd >= 0) close(m_fd);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

}  // namespace

CStaticFiles::CStaticFiles(std::string root) : m_root(std::move(root)) {
  if (m_root.empty() || m_root.back() != '/') m_root += '/';
}

bool CStaticFiles::FileNameOf(std::string_view target, std::string* name) {
  const size_t query = target.find_first_of("?#");
  if (query != std::string_view::npos) target = target.substr(0, query);
  if (target.empty() || target.front() != '/') return false;
  target.remove_prefix(1);
  if (target.empty()) target = "index.html";
  if (target.find("..") != std::string_view::npos || target.back() == '/') return false;
  char previous = '/';
  for (const char c : target) {
    const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == '/';
    // No hidden files and no empty path segments.
    if (!plain || (previous == '/' && (c == '.' || c == '/'))) return false;
    previous = c;
  }
  name->assign(target);
  return true;
}

const char* CStaticFiles::ContentTypeOf(std::string_view name) {
  static const struct {
    std::string_view extension;
    const char* type;
  } kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".map", "application/json"},
      {".png", "image/png"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},
  };
  for (const auto& row : kTypes)
    if (name.size() > row.extension.size() && name.substr(name.size() - row.extension.size()) == row.extension)
      return row.type;
  return "application/octet-stream";
}

CStaticFiles::Result CStaticFiles::Respond(std::string_view request, std::string* response) const {
  const std::string_view line = request.substr(0, request.find_first_of("\r\n"));
  if (line.substr(0, 4) != "GET ") return Result::kNotFound;
  const std::string_view rest = line.substr(4);
  std::string name;
  if (!FileNameOf(rest.substr(0, rest.find(' ')), &name)) return Result::kRefused;

  // A link inside the folder may not lead out of it.
  const std::string root = RealPath(m_root);
  const std::string path = RealPath(m_root + name);
  if (root.empty() || path.empty()) return Result::kNotFound;
  if (path.compare(0, root.size() + 1, root + "/") != 0) return Result::kRefused;

  const FileHandle file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (file.Get() < 0 || fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxFileBytes)
    return Result::kNotFound;

  char etag[64];
  std::snprintf(etag, sizeof(etag), "\"%llx-%llx-%lx\"", static_cast<unsigned long long>(info.st_size),
                static_cast<unsigned long long>(info.st_mtim.tv_sec), static_cast<long>(info.st_mtim.tv_nsec));
  std::string_view match;
  if (FindRequestHeader(request, "if-none-match", &match) && match == etag) {
    *response = std::string("HTTP/1.1 304 Not Modified\r\nCache-Control: no-cache\r\nETag: ") + etag +
                "\r\nConnection: close\r\n\r\n";
    return Result::kServed;
  }

  std::string body(static_cast<size_t>(info.st_size), '\0');
  size_t done = 0;
  while (done < body.size()) {
    const ssize_t n = read(file.Get(), body.data() + done, body.size() - done);
    if (n <= 0) return Result::kNotFound;
    done += static_cast<size_t>(n);
  }
  char header[256];
  std::snprintf(header, sizeof(header),
                "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-cache\r\n"
                "ETag: %s\r\nConnection: close\r\n\r\n",
                ContentTypeOf(name), body.size(), etag);
  *response = header + body;
  return Result::kServed;
}
