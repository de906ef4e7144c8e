#pragma once
// The pure text rules of the FTP client: reply lines, the reply-code rule, the PASV reply,
// the PORT argument and the command line. Bytes in, results out, no sockets, so the unit
// tests and the fuzz target drive them directly. Stateless apart from the two small
// classes, which belong to the one thread reading a control connection.
#include <cstddef>
#include <cstdint>

namespace remote {

inline constexpr int kFtpReplyLineSize = 512;    // including the terminating zero
inline constexpr int kFtpPasvLineSize = 256;     // including the terminating zero
inline constexpr int kFtpCommandLineSize = 256;  // command, blank, argument, CR LF, zero

// Gathers one line from bytes received one at a time. The line feed ends the line and is
// dropped, a carriage return before it stays; bytes past capacity - 1 are dropped, so an
// over-long line is cut, never split into two lines.
class CFtpLineAssembler {
 public:
  CFtpLineAssembler(char* buffer, int capacity) : m_buffer(buffer), m_capacity(capacity) { m_buffer[0] = 0; }
  // True when byte was the line feed: the line is then zero-terminated in the buffer.
  bool Add(char byte) {
    if (byte == '\n') {
      m_buffer[m_length] = 0;
      return true;
    }
    if (m_length < m_capacity - 1) m_buffer[m_length++] = byte;
    return false;
  }
  void Reset() { m_length = 0; }

 private:
  char* m_buffer;
  int m_capacity;
  int m_length = 0;
};

// Follows one reply across its lines: a first line "ddd-" opens a multi-line reply that only
// a line of three digits with the same code and a blank ends.
class CFtpReplyRule {
 public:
  // Takes the next complete line; true when it ends the reply.
  bool Take(const char* line);
  // 1 preliminary, 2 completion, 3 intermediate, 4 and 5 negative: the last line's first
  // character as a digit, 0 (a class no step accepts) when it is not a digit.
  int Class() const { return m_class; }

 private:
  bool m_started = false;
  int m_code = 0;
  int m_class = 0;
};

// atoi's reading (blanks, sign, leading digits), saturated instead of overflowing.
int LeadingInt(const char* text);

// True when text (up to maxLength bytes) holds a byte below 0x20 or 0x7F.
bool HasControlCharacter(const char* text, size_t maxLength);

// "%s\r\n" or "%s %s\r\n" into out (kFtpCommandLineSize bytes): the length, or -1 when the
// line does not fit.
int FormatFtpCommand(const char* command, const char* argument, char* out);

// Where a "227 ...(h1,h2,h3,h4,p1,p2)" line points: host "h1.h2.h3.h4", port p1 * 256 + p2,
// each number read as LeadingInt between its delimiters, unchecked.
struct FtpPassiveTarget {
  char host[48];
  char port[24];
};
// 0, or -1 when the "(" or a delimiter is missing.
int ParsePasvReply(const char* line, FtpPassiveTarget* target);

// The active-mode texts for an address (host order) and a port: the logged "|1|a.b.c.d|port|"
// and the PORT argument "a,b,c,d,port/256,port%256". Each buffer holds 80 bytes.
void BuildPortTexts(uint32_t address, uint16_t port, char* opendatasock, char* argument);

}  // namespace remote
