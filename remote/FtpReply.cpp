#include "remote/FtpReply.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace remote {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The number between from and the next delimiter; null when there is none. LeadingInt
// stops at the delimiter by itself: neither "," nor ")" is a blank, sign or digit.
const char* NextNumber(const char* from, char delimiter, int* value) {
  const char* end = std::strchr(from, delimiter);
  if (end == nullptr) return nullptr;
  *value = LeadingInt(from);
  return end + 1;
}

}  // namespace

bool CFtpReplyRule::Take(const char* line) {
  m_class = IsDigit(line[0]) ? line[0] - '0' : 0;
  const bool threeDigits = IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
  if (!m_started) {
    m_started = true;
    m_code = LeadingInt(line);
    return !(line[0] != 0 && line[1] != 0 && line[2] != 0 && line[3] == '-');
  }
  return threeDigits && line[3] == ' ' && LeadingInt(line) == m_code;
}

int LeadingInt(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  long long value = 0;
  for (; IsDigit(*text); ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

bool HasControlCharacter(const char* text, size_t maxLength) {
  for (size_t i = 0; i < maxLength && text[i] != 0; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

int FormatFtpCommand(const char* command, const char* argument, char* out) {
  const int length = argument != nullptr
                         ? std::snprintf(out, kFtpCommandLineSize, "%s %s\r\n", command, argument)
                         : std::snprintf(out, kFtpCommandLineSize, "%s\r\n", command);
  return length >= 0 && length < kFtpCommandLineSize ? length : -1;
}

int ParsePasvReply(const char* line, FtpPassiveTarget* target) {
  const char* at = std::strchr(line, '(');
  if (at == nullptr) return -1;
  ++at;
  int n[6];
  for (int i = 0; i < 6; ++i) {
    at = NextNumber(at, i < 5 ? ',' : ')', &n[i]);
    if (at == nullptr) return -1;
  }
  std::snprintf(target->host, sizeof(target->host), "%d.%d.%d.%d", n[0], n[1], n[2], n[3]);
  std::snprintf(target->port, sizeof(target->port), "%lld", static_cast<long long>(n[4]) * 256 + n[5]);
  return 0;
}

void BuildPortTexts(uint32_t address, uint16_t port, char* opendatasock, char* argument) {
  const unsigned a = address >> 24, b = (address >> 16) & 0xFF, c = (address >> 8) & 0xFF, d = address & 0xFF;
  std::snprintf(opendatasock, 80, "|1|%u.%u.%u.%u|%u|", a, b, c, d, static_cast<unsigned>(port));
  std::snprintf(argument, 80, "%u,%u,%u,%u,%u,%u", a, b, c, d, port / 256u, port % 256u);
}

}  // namespace remote
