#include "infra/MD5Digest.h"

#include <cstdio>
#include <cstring>

#include "platform/ByteOrder.h"

namespace {

constexpr uint32_t S11 = 7, S12 = 12, S13 = 17, S14 = 22;
constexpr uint32_t S21 = 5, S22 = 9, S23 = 14, S24 = 20;
constexpr uint32_t S31 = 4, S32 = 11, S33 = 16, S34 = 23;
constexpr uint32_t S41 = 6, S42 = 10, S43 = 15, S44 = 21;

const unsigned char kPadding[64] = {0x80};

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }
inline uint32_t Rotl(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

template <uint32_t (*Fn)(uint32_t, uint32_t, uint32_t)>
inline void Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t s, uint32_t ac) {
  a += Fn(b, c, d) + x + ac;
  a = Rotl(a, s) + b;
}

void Decode(uint32_t* out, const unsigned char* in, uint32_t len) {
  for (uint32_t i = 0, j = 0; j < len; ++i, j += 4) out[i] = platform::ReadLE32(in + j);
}

void Encode(unsigned char* out, const uint32_t* in, uint32_t len) {
  for (uint32_t i = 0, j = 0; j < len; ++i, j += 4) platform::WriteLE32(out + j, in[i]);
}

void Transform(uint32_t state[4], const unsigned char block[64]) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], x[16];
  Decode(x, block, 64);

  Step<F>(a, b, c, d, x[0], S11, 0xd76aa478); Step<F>(d, a, b, c, x[1], S12, 0xe8c7b756);
  Step<F>(c, d, a, b, x[2], S13, 0x242070db); Step<F>(b, c, d, a, x[3], S14, 0xc1bdceee);
  Step<F>(a, b, c, d, x[4], S11, 0xf57c0faf); Step<F>(d, a, b, c, x[5], S12, 0x4787c62a);
  Step<F>(c, d, a, b, x[6], S13, 0xa8304613); Step<F>(b, c, d, a, x[7], S14, 0xfd469501);
  Step<F>(a, b, c, d, x[8], S11, 0x698098d8); Step<F>(d, a, b, c, x[9], S12, 0x8b44f7af);
  Step<F>(c, d, a, b, x[10], S13, 0xffff5bb1); Step<F>(b, c, d, a, x[11], S14, 0x895cd7be);
  Step<F>(a, b, c, d, x[12], S11, 0x6b901122); Step<F>(d, a, b, c, x[13], S12, 0xfd987193);
  Step<F>(c, d, a, b, x[14], S13, 0xa679438e); Step<F>(b, c, d, a, x[15], S14, 0x49b40821);

  Step<G>(a, b, c, d, x[1], S21, 0xf61e2562); Step<G>(d, a, b, c, x[6], S22, 0xc040b340);
  Step<G>(c, d, a, b, x[11], S23, 0x265e5a51); Step<G>(b, c, d, a, x[0], S24, 0xe9b6c7aa);
  Step<G>(a, b, c, d, x[5], S21, 0xd62f105d); Step<G>(d, a, b, c, x[10], S22, 0x02441453);
  Step<G>(c, d, a, b, x[15], S23, 0xd8a1e681); Step<G>(b, c, d, a, x[4], S24, 0xe7d3fbc8);
  Step<G>(a, b, c, d, x[9], S21, 0x21e1cde6); Step<G>(d, a, b, c, x[14], S22, 0xc33707d6);
  Step<G>(c, d, a, b, x[3], S23, 0xf4d50d87); Step<G>(b, c, d, a, x[8], S24, 0x455a14ed);
  Step<G>(a, b, c, d, x[13], S21, 0xa9e3e905); Step<G>(d, a, b, c, x[2], S22, 0xfcefa3f8);
  Step<G>(c, d, a, b, x[7], S23, 0x676f02d9); Step<G>(b, c, d, a, x[12], S24, 0x8d2a4c8a);

  Step<H>(a, b, c, d, x[5], S31, 0xfffa3942); Step<H>(d, a, b, c, x[8], S32, 0x8771f681);
  Step<H>(c, d, a, b, x[11], S33, 0x6d9d6122); Step<H>(b, c, d, a, x[14], S34, 0xfde5380c);
  Step<H>(a, b, c, d, x[1], S31, 0xa4beea44); Step<H>(d, a, b, c, x[4], S32, 0x4bdecfa9);
  Step<H>(c, d, a, b, x[7], S33, 0xf6bb4b60); Step<H>(b, c, d, a, x[10], S34, 0xbebfbc70);
  Step<H>(a, b, c, d, x[13], S31, 0x289b7ec6); Step<H>(d, a, b, c, x[0], S32, 0xeaa127fa);
  Step<H>(c, d, a, b, x[3], S33, 0xd4ef3085); Step<H>(b, c, d, a, x[6], S34, 0x04881d05);
  Step<H>(a, b, c, d, x[9], S31, 0xd9d4d039); Step<H>(d, a, b, c, x[12], S32, 0xe6db99e5);
  Step<H>(c, d, a, b, x[15], S33, 0x1fa27cf8); Step<H>(b, c, d, a, x[2], S34, 0xc4ac5665);

  Step<I>(a, b, c, d, x[0], S41, 0xf4292244); Step<I>(d, a, b, c, x[7], S42, 0x432aff97);
  Step<I>(c, d, a, b, x[14], S43, 0xab9423a7); Step<I>(b, c, d, a, x[5], S44, 0xfc93a039);
  Step<I>(a, b, c, d, x[12], S41, 0x655b59c3); Step<I>(d, a, b, c, x[3], S42, 0x8f0ccc92);
  Step<I>(c, d, a, b, x[10], S43, 0xffeff47d); Step<I>(b, c, d, a, x[1], S44, 0x85845dd1);
  Step<I>(a, b, c, d, x[8], S41, 0x6fa87e4f); Step<I>(d, a, b, c, x[15], S42, 0xfe2ce6e0);
  Step<I>(c, d, a, b, x[6], S43, 0xa3014314); Step<I>(b, c, d, a, x[13], S44, 0x4e0811a1);
  Step<I>(a, b, c, d, x[4], S41, 0xf7537e82); Step<I>(d, a, b, c, x[11], S42, 0xbd3af235);
  Step<I>(c, d, a, b, x[2], S43, 0x2ad7d2bb); Step<I>(b, c, d, a, x[9], S44, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void MD5Init(MD5Context* context) {
  context->count[0] = context->count[1] = 0;
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
}

void MD5Update(MD5Context* context, const unsigned char* input, uint32_t length) {
  uint32_t index = (context->count[0] >> 3) & 0x3F;
  if ((context->count[0] += length << 3) < (length << 3)) context->count[1]++;
  context->count[1] += length >> 29;
  const uint32_t partLen = 64 - index;
  uint32_t i = 0;
  if (length >= partLen) {
    std::memcpy(&context->buffer[index], input, partLen);
    Transform(context->state, context->buffer);
    for (i = partLen; i + 63 < length; i += 64) Transform(context->state, &input[i]);
    index = 0;
  }
  std::memcpy(&context->buffer[index], &input[i], length - i);
}

void MD5Final(unsigned char digest[16], MD5Context* context) {
  unsigned char bits[8];
  Encode(bits, context->count, 8);
  const uint32_t index = (context->count[0] >> 3) & 0x3f;
  const uint32_t padLen = index < 56 ? 56 - index : 120 - index;
  MD5Update(context, kPadding, padLen);
  MD5Update(context, bits, 8);
  Encode(digest, context->state, 16);
  std::memset(context, 0, sizeof(*context));
}

CMD5Digest::~CMD5Digest() { delete m_context; }

void CMD5Digest::Update(const void* data, int length) {
  if (!m_context) {
    m_context = new MD5Context;
    MD5Init(m_context);
  }
  if (!data) return;
  const uint32_t n = length < 1 ? static_cast<uint32_t>(std::strlen(static_cast<const char*>(data)))
                                : static_cast<uint32_t>(length);
  MD5Update(m_context, static_cast<const unsigned char*>(data), n);
}

void CMD5Digest::FormatHex(const unsigned char digest[16]) {
  for (int i = 0; i < 16; ++i) std::snprintf(m_hex + 2 * i, 3, "%02X", digest[i]);
}

const char* CMD5Digest::GetHexDigest() {
  if (!m_context) return "";
  unsigned char digest[16];
  MD5Final(digest, m_context);
  delete m_context;
  m_context = nullptr;
  FormatHex(digest);
  return m_hex;
}

int CMD5Digest::DigestFile(const char* path, unsigned char out[16]) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return 0;
  MD5Context context;
  MD5Init(&context);
  unsigned char chunk[1024];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0) MD5Update(&context, chunk, static_cast<uint32_t>(n));
  MD5Final(out, &context);
  std::fclose(f);
  return 1;
}

const char* CMD5Digest::GetFileHexDigest(const char* path) {
  unsigned char digest[16];
  if (!DigestFile(path, digest)) return nullptr;
  FormatHex(digest);
  return m_hex;
}
