#include "media/RequestReader.h"

#include <cctype>
#include <string_view>

bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix) {
  if (text.size() < lowerPrefix.size()) return false;
  for (size_t i = 0; i < lowerPrefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != lowerPrefix[i]) return false;
  return true;
}

namespace {

// The Content-Length header among the header lines of head (blank line excluded):
// -1 when absent, -2 when its value is not a decimal number.
long long ContentLength(std::string_view head) {
  std::string_view line;
  if (!FindRequestHeader(head, "content-length", &line)) return -1;
  if (line.empty()) return -2;
  long long value = 0;
  for (const char c : line) {
    if (c < '0' || c > '9') return -2;
    // Anything this long cannot fit a request buffer anyway.
    if (value < 1000000000) value = value * 10 + (c - '0');
  }
  return value;
}

// text is, or may still become, a request of this method.
bool Begins(std::string_view text, std::string_view method) {
  const size_t n = text.size() < method.size() ? text.size() : method.size();
  return text.substr(0, n) == method.substr(0, n);
}

}  // namespace

bool FindRequestHeader(std::string_view request, std::string_view lowerName, std::string_view* value) {
  const size_t blank = request.find("\r\n\r\n");
  const std::string_view head = request.substr(0, blank == std::string_view::npos ? request.size() : blank + 2);
  for (size_t at = head.find("\r\n"); at != std::string_view::npos; at = head.find("\r\n", at + 2)) {
    const size_t start = at + 2;
    const size_t end = head.find("\r\n", start);
    std::string_view line = head.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!StartsWithNoCase(line, lowerName) || line.size() <= lowerName.size() || line[lowerName.size()] != ':')
      continue;
    line.remove_prefix(lowerName.size() + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    *value = line;
    return true;
  }
  return false;
}

RequestExtent MeasureRequest(const char* text, int length, int capacity) {
  RequestExtent extent;
  const std::string_view all(text, static_cast<size_t>(length));
  if (!Begins(all, "GET") && !Begins(all, "POST")) {
    extent.kind = RequestExtent::kNotHttp;
    return extent;
  }
  const size_t blank = all.find("\r\n\r\n");
  if (blank == std::string_view::npos) {
    extent.kind = length >= capacity ? RequestExtent::kTooLarge : RequestExtent::kIncomplete;
    return extent;
  }
  long long total = static_cast<long long>(blank) + 4;
  if (all.substr(0, 4) == "POST") {
    const long long body = ContentLength(all.substr(0, blank));
    if (body == -2) {
      extent.kind = RequestExtent::kMalformed;
      return extent;
    }
    extent.hasContentLength = body >= 0;
    total = body >= 0 ? total + body : length;
  }
  if (total > capacity) {
    extent.kind = RequestExtent::kTooLarge;
  } else if (total > length) {
    extent.kind = RequestExtent::kIncomplete;
  } else {
    extent.kind = RequestExtent::kComplete;
    extent.length = static_cast<int>(total);
  }
  return extent;
}
