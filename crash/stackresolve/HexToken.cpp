#include "crash/stackresolve/HexToken.h"

namespace stackresolve {
namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool IsInTokenSet(char c, TokenSet set) {
  if (HexDigitValue(c) >= 0) return true;
  switch (set) {
    case TokenSet::StackLine:
      return c == ' ';
    case TokenSet::StackWord:
      return false;
    case TokenSet::ModulesIniAddress:
      return c == 'G' || c == 'g';
    case TokenSet::StackIniWord:
      return c == 'x' || c == 'X';
  }
  return false;
}

std::string_view CutToken(std::string_view text, TokenSet set) {
  size_t length = 0;
  while (length < text.size() && IsInTokenSet(text[length], set)) ++length;
  return text.substr(0, length);
}

std::string_view DropTokenAndSeparator(std::string_view text, size_t tokenLength) {
  size_t consumed = tokenLength + 1;
  return consumed >= text.size() ? std::string_view() : text.substr(consumed);
}

uint64_t HexToUInt64(std::string_view text) {
  if (text.size() < 3) return 0;
  uint64_t value = 0;
  uint64_t weight = 1;  // becomes 0 after sixteen digits: higher digits drop out of the sum
  for (auto it = text.rbegin(); it != text.rend(); ++it) {
    int digit = HexDigitValue(*it);
    if (digit < 0) return 0;
    value += static_cast<uint64_t>(digit) * weight;
    weight *= 16;
  }
  return value;
}

std::string_view LeftPart(std::string_view text, size_t count) { return text.substr(0, count); }

std::string_view MidPart(std::string_view text, size_t first, size_t count) {
  if (first >= text.size()) return {};
  return text.substr(first, count);
}

}  // namespace stackresolve
