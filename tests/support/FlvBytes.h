#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "media/StreamDataBuffer.h"

namespace flvbytes {

inline std::string Be(uint32_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

inline std::string FileHeader() { return std::string("FLV\x01\x05", 5) + Be(9, 4) + Be(0, 4); }

inline std::string Tag(int type, int dataSize, unsigned char first, uint32_t timestamp = 0) {
  std::string tag(1, static_cast<char>(type));
  tag += Be(static_cast<uint32_t>(dataSize), 3) + Be(timestamp & 0xFFFFFF, 3) + Be(timestamp >> 24, 1) + Be(0, 3);
  std::string data(static_cast<size_t>(dataSize), static_cast<char>(0x5A));
  if (dataSize > 0) data[0] = static_cast<char>(first);
  return tag + data + Be(static_cast<uint32_t>(dataSize) + 11, 4);
}
inline std::string Meta(int dataSize = 40) { return Tag(18, dataSize, 0x02); }
inline std::string Key(int totalSize) { return Tag(9, totalSize - 15, 0x17); }
inline std::string Inter(int totalSize) { return Tag(9, totalSize - 15, 0x27); }
inline std::string Audio(int totalSize) { return Tag(8, totalSize - 15, 0xAF); }

inline std::string Record(const std::string& payload) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((payload.size() >> (8 * i)) & 0xFF));
  return out + payload;
}

inline int Feed(CStreamDataBuffer& buffer, const std::string& bytes) {
  int free = 0;
  char* at = buffer.GetWriteBuffer(&free);
  if (static_cast<int>(bytes.size()) > free) return -100;
  std::memcpy(at, bytes.data(), bytes.size());
  buffer.CommitWrite(static_cast<int>(bytes.size()));
  int length = 0;
  char* data = buffer.GetData(&length);
  return buffer.ParseReceived(data, length);
}

inline std::string Text(const char* data, int length) {
  return data == nullptr ? std::string() : std::string(data, static_cast<size_t>(length));
}
// What one of the buffer's getters hands out, as text.
inline std::string Piece(CStreamDataBuffer& buffer, char* (CStreamDataBuffer::*get)(int*)) {
  int length = 0;
  const char* data = (buffer.*get)(&length);
  return Text(data, length);
}
inline std::string HeaderOf(CStreamDataBuffer& buffer) { return Piece(buffer, &CStreamDataBuffer::GetHeader); }
inline std::string KeyFrameOf(CStreamDataBuffer& buffer) { return Piece(buffer, &CStreamDataBuffer::GetKeyFrame); }
inline std::string PackageDataOf(CStreamDataBuffer& buffer) { return Piece(buffer, &CStreamDataBuffer::GetPackageData); }

}  // namespace flvbytes
