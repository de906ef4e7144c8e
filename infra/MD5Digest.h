#pragma once
// MD5 (RFC 1321) and the small digest object the program uses around it: digests are
// handed out as 32 upper-case hexadecimal digits. One object per digest; not thread-safe.
#include <cstdint>

struct MD5Context {
  uint32_t state[4];
  uint32_t count[2];  // bit count, low word first
  unsigned char buffer[64];
};

void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const unsigned char* input, uint32_t length);
void MD5Final(unsigned char digest[16], MD5Context* context);

class CMD5Digest {
 public:
  CMD5Digest() = default;
  virtual ~CMD5Digest();
  CMD5Digest(const CMD5Digest&) = delete;
  CMD5Digest& operator=(const CMD5Digest&) = delete;

  // A length below 1 means data is a zero-terminated text.
  void Update(const void* data, int length);
  // Finishes the digest; "" when nothing was added since the last finish.
  const char* GetHexDigest();
  // 1 and the digest in out, or 0 when the file cannot be opened (out untouched).
  static int DigestFile(const char* path, unsigned char out[16]);
  // The file's digest as hex text, or nullptr when it cannot be opened.
  const char* GetFileHexDigest(const char* path);

 private:
  void FormatHex(const unsigned char digest[16]);

  char m_hex[33] = {};
  MD5Context* m_context = nullptr;
};
