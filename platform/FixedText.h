#pragma once
// Text stored into fixed char fields: cut to fit, always zero-terminated.
#include <cstddef>
#include <cstring>
#include <string_view>

namespace platform {

// Copies at most size - 1 characters of text and a zero; returns how many were copied.
inline size_t CopyCut(char* field, size_t size, std::string_view text) {
  if (field == nullptr || size == 0) return 0;
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
  return n;
}

template <size_t N>
size_t CopyCut(char (&field)[N], std::string_view text) {
  return CopyCut(field, N, text);
}

}  // namespace platform
