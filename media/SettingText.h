#pragma once
// Texts that the settings page stores: they end up in attribute values of CameraInfo.xml
// and in FTP commands, so they must be UTF-8 without control characters. Pure.
#include <string>

enum class SettingTextCheck { kOk, kControlCharacter, kNotUtf8 };

// Cuts value to at most maxBytes on a character boundary into *out and checks the kept
// part: any byte below 0x20 or 0x7F is refused, and so is anything that is not well-formed
// UTF-8 (overlong forms, surrogates, code points above U+10FFFF, U+FFFE and U+FFFF).
SettingTextCheck CutSettingText(const char* value, size_t maxBytes, std::string* out);
