#include "media/SettingText.h"

#include <cstdint>
#include <cstring>

namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed character at text[0, length), or 0.
size_t CharacterLength(const unsigned char* text, size_t length) {
  const unsigned char lead = text[0];
  if (lead < 0x80) return 1;
  size_t n = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) n = 2, code = lead & 0x1F;
  else if (lead >= 0xE0 && lead <= 0xEF) n = 3, code = lead & 0x0F;
  else if (lead >= 0xF0 && lead <= 0xF4) n = 4, code = lead & 0x07;
  else return 0;
  if (length < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if (!IsContinuation(text[i])) return 0;
    code = (code << 6) | (text[i] & 0x3F);
  }
  static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[n] || code > 0x10FFFF) return 0;
  if ((code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF) return 0;
  return n;
}

}  // namespace

SettingTextCheck CutSettingText(const char* value, size_t maxBytes, std::string* out) {
  size_t length = std::strlen(value);
  const auto* bytes = reinterpret_cast<const unsigned char*>(value);
  if (length > maxBytes) {
    length = maxBytes;
    // Step back over the continuation bytes of a character the cut would split.
    while (length > 0 && IsContinuation(bytes[length])) --length;
  }
  out->assign(value, length);
  for (size_t i = 0; i < length;) {
    if (bytes[i] < 0x20 || bytes[i] == 0x7F) return SettingTextCheck::kControlCharacter;
    const size_t n = CharacterLength(bytes + i, length - i);
    if (n == 0) return SettingTextCheck::kNotUtf8;
    i += n;
  }
  return SettingTextCheck::kOk;
}
