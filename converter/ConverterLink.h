#pragma once
// One loopback TCP connection from the converter back to the program: connect, greet with
// the session key (the process id, OR 0x1000000 on the audio connection), then raw input
// in and, on the first connection only, encoded output out.
//
// Used by the converter's single thread only.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace converter {

// The key that pairs the second (audio) connection with the same process.
constexpr uint32_t kAudioSessionKeyBit = 0x1000000;

// The greeting: the key as 4 little-endian bytes, nothing else.
void EncodeGreeting(uint32_t key, uint8_t out[4]);

class CConverterLink {
 public:
  CConverterLink() = default;
  ~CConverterLink();
  CConverterLink(const CConverterLink&) = delete;
  CConverterLink& operator=(const CConverterLink&) = delete;

  // Connects within timeoutMs and sends the greeting. False with a reason in error.
  bool Open(const std::string& host, uint16_t port, uint32_t key, int timeoutMs, std::string* error);

  // Reads what is waiting without blocking: bytes read, 0 when the program closed the
  // connection, -1 on error (errno kept), or -2 when nothing is there yet.
  ssize_t Receive(uint8_t* buffer, size_t capacity);

  // Writes every byte; gives up (false) when the program has not taken them within
  // timeoutMs or the connection failed.
  bool SendAll(const uint8_t* data, size_t length, int timeoutMs);

  void Close();
  int Fd() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

}  // namespace converter
