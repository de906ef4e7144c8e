#include "media/RequestLogText.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

bool EqualsNoCase(std::string_view text, size_t at, std::string_view word) {
  if (at + word.size() > text.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[at + i])) != word[i]) return false;
  return true;
}

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; }

// Where a masked value starting at begin ends.
size_t ValueEnd(std::string_view text, size_t begin, bool wholeLine) {
  size_t end = begin;
  while (end < text.size() && text[end] != '\r' && text[end] != '\n' && (wholeLine || (text[end] != '&' && text[end] != ' ')))
    ++end;
  return end;
}

// The text with every secret value replaced by "***".
std::string MaskSecrets(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const bool lineStart = i == 0 || text[i - 1] == '\n';
    if (lineStart && EqualsNoCase(text, i, "authorization:")) {
      size_t begin = i + 14;
      out.append(text.substr(i, begin - i));
      i = ValueEnd(text, begin, true);
      out += " ***";
      continue;
    }
    if (EqualsNoCase(text, i, "pass")) {
      // The rest of the parameter name, then its value.
      size_t j = i + 4;
      while (j < text.size() && IsNameChar(text[j])) ++j;
      if (j < text.size() && text[j] == '=') {
        out.append(text.substr(i, j + 1 - i));
        i = ValueEnd(text, j + 1, false);
        out += "***";
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

}  // namespace

std::string RequestLogText(const char* text, int length) {
  const size_t shown = static_cast<size_t>(std::clamp(length, 0, kRequestLogBytes));
  const std::string masked = MaskSecrets(std::string_view(text, shown));
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(masked.size() + 16);
  for (const char c : masked) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c == '\\') out += "\\\\";
    else if (byte < 0x20 || byte >= 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}
