#pragma once
// Fixed-width integers at unaligned byte positions: little-endian for the length and key
// fields of the converter link and for MD5 words, big-endian for FLV tag fields.
#include <cstdint>

namespace platform {

inline uint32_t ReadLE32(const void* at) {
  const auto* p = static_cast<const uint8_t*>(at);
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void WriteLE32(void* at, uint32_t value) {
  auto* p = static_cast<uint8_t*>(at);
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t ReadBE24(const void* at) {
  const auto* p = static_cast<const uint8_t*>(at);
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

inline uint32_t ReadBE32(const void* at) {
  return (uint32_t{*static_cast<const uint8_t*>(at)} << 24) | ReadBE24(static_cast<const uint8_t*>(at) + 1);
}

inline void WriteBE24(void* at, uint32_t value) {
  auto* p = static_cast<uint8_t*>(at);
  p[0] = static_cast<uint8_t>(value >> 16);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value);
}

inline void WriteBE32(void* at, uint32_t value) {
  *static_cast<uint8_t*>(at) = static_cast<uint8_t>(value >> 24);
  WriteBE24(static_cast<uint8_t*>(at) + 1, value);
}

}  // namespace platform
