#include "capture/Yuy2ToBgr24.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VT_YUY2_X86 1
#endif

namespace yuy2 {
namespace {

inline uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

#ifdef VT_YUY2_X86
// The vector kernel works in 16-bit lanes. 298 C does not fit, so each product is split
// into a multiple of 256 and a small remainder:
//     298 C + 516 D + 128         = 256 (C + 2 D) + (42 C + 4 D + 128)
//     298 C - 100 D - 208 E + 128 = 256 (C - E)   + (42 C - 100 D + 48 E + 128)
//     298 C + 409 E + 128         = 256 (C + E)   + (42 C + 153 E + 128)
// and floor((256 a + x) / 256) = a + (x >> 8). Every remainder stays within
// [-20128, 29597] and every result within int16, so the lanes never overflow, and the
// saturating pack to bytes is exactly the clamp to 0..255.

// Output byte o of a 48-byte run of 16 pixels holds channel o % 3 of pixel o / 3. Mask
// [k][ch] picks, for output register k, the bytes of channel ch from its 16-pixel plane.
struct InterleaveMasks {
  alignas(16) uint8_t bytes[3][3][16];
};
constexpr InterleaveMasks MakeInterleaveMasks() {
  InterleaveMasks m{};
  for (int k = 0; k < 3; ++k) {
    for (int ch = 0; ch < 3; ++ch) {
      for (int i = 0; i < 16; ++i) {
        const int o = 16 * k + i;
        m.bytes[k][ch][i] = (o % 3 == ch) ? static_cast<uint8_t>(o / 3) : 0x80;
      }
    }
  }
  return m;
}
constexpr InterleaveMasks kInterleave = MakeInterleaveMasks();

// Picks U (or V) of each group as a 16-bit lane, once for each of the group's two pixels.
alignas(16) constexpr uint8_t kSpreadU[16] = {1, 0x80, 1, 0x80, 5, 0x80, 5, 0x80, 9, 0x80, 9, 0x80, 13, 0x80, 13, 0x80};
alignas(16) constexpr uint8_t kSpreadV[16] = {3, 0x80, 3, 0x80, 7, 0x80, 7, 0x80, 11, 0x80, 11, 0x80, 15, 0x80, 15, 0x80};

struct Planes16 {
  __m128i b, g, r;
};

// 4 groups (8 pixels) in, the three channels as 16-bit lanes before clamping out.
__attribute__((target("ssse3"))) inline Planes16 Convert8(__m128i in) {
  const __m128i k16 = _mm_set1_epi16(16);
  const __m128i k128 = _mm_set1_epi16(128);
  const __m128i c = _mm_sub_epi16(_mm_and_si128(in, _mm_set1_epi16(0x00ff)), k16);
  const __m128i d = _mm_sub_epi16(_mm_shuffle_epi8(in, _mm_load_si128(reinterpret_cast<const __m128i*>(kSpreadU))), k128);
  const __m128i e = _mm_sub_epi16(_mm_shuffle_epi8(in, _mm_load_si128(reinterpret_cast<const __m128i*>(kSpreadV))), k128);
  const __m128i c42 = _mm_add_epi16(_mm_mullo_epi16(c, _mm_set1_epi16(42)), k128);

  Planes16 p;
  const __m128i restB = _mm_add_epi16(c42, _mm_slli_epi16(d, 2));
  p.b = _mm_add_epi16(_mm_add_epi16(c, _mm_slli_epi16(d, 1)), _mm_srai_epi16(restB, 8));
  const __m128i restG = _mm_add_epi16(
      c42, _mm_add_epi16(_mm_mullo_epi16(d, _mm_set1_epi16(-100)), _mm_mullo_epi16(e, _mm_set1_epi16(48))));
  p.g = _mm_add_epi16(_mm_sub_epi16(c, e), _mm_srai_epi16(restG, 8));
  const __m128i restR = _mm_add_epi16(c42, _mm_mullo_epi16(e, _mm_set1_epi16(153)));
  p.r = _mm_add_epi16(_mm_add_epi16(c, e), _mm_srai_epi16(restR, 8));
  return p;
}

__attribute__((target("ssse3"))) inline __m128i Pick(__m128i plane, int k, int ch) {
  return _mm_shuffle_epi8(plane, _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave.bytes[k][ch])));
}

__attribute__((target("ssse3"))) void ConvertRowSsse3(const uint8_t* src, uint8_t* dst, int groups) {
  int g = 0;
  for (; g + 8 <= groups; g += 8) {
    const Planes16 lo = Convert8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
    const Planes16 hi = Convert8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16)));
    const __m128i b = _mm_packus_epi16(lo.b, hi.b);
    const __m128i gr = _mm_packus_epi16(lo.g, hi.g);
    const __m128i r = _mm_packus_epi16(lo.r, hi.r);
    for (int k = 0; k < 3; ++k) {
      const __m128i out = _mm_or_si128(_mm_or_si128(Pick(b, k, 0), Pick(gr, k, 1)), Pick(r, k, 2));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * k), out);
    }
    src += 32;
    dst += 48;
  }
  ConvertRowScalar(src, dst, groups - g);
}

// AVX2: the same arithmetic on 16 pixels per register. Lane-wise packing leaves the pixels
// of two loads interleaved by 128-bit lane; one cross-lane permute puts pixels 0-15 in the
// low lane and 16-31 in the high lane, and the 128-bit interleave masks then work per lane.
struct Planes16x2 {
  __m256i b, g, r;
};

__attribute__((target("avx2"))) inline __m256i Broadcast(const uint8_t* mask16) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(mask16)));
}

__attribute__((target("avx2"))) inline Planes16x2 Convert16(__m256i in) {
  const __m256i k16 = _mm256_set1_epi16(16);
  const __m256i k128 = _mm256_set1_epi16(128);
  const __m256i c = _mm256_sub_epi16(_mm256_and_si256(in, _mm256_set1_epi16(0x00ff)), k16);
  const __m256i d = _mm256_sub_epi16(_mm256_shuffle_epi8(in, Broadcast(kSpreadU)), k128);
  const __m256i e = _mm256_sub_epi16(_mm256_shuffle_epi8(in, Broadcast(kSpreadV)), k128);
  const __m256i c42 = _mm256_add_epi16(_mm256_mullo_epi16(c, _mm256_set1_epi16(42)), k128);

  Planes16x2 p;
  const __m256i restB = _mm256_add_epi16(c42, _mm256_slli_epi16(d, 2));
  p.b = _mm256_add_epi16(_mm256_add_epi16(c, _mm256_slli_epi16(d, 1)), _mm256_srai_epi16(restB, 8));
  const __m256i restG = _mm256_add_epi16(
      c42, _mm256_add_epi16(_mm256_mullo_epi16(d, _mm256_set1_epi16(-100)), _mm256_mullo_epi16(e, _mm256_set1_epi16(48))));
  p.g = _mm256_add_epi16(_mm256_sub_epi16(c, e), _mm256_srai_epi16(restG, 8));
  const __m256i restR = _mm256_add_epi16(c42, _mm256_mullo_epi16(e, _mm256_set1_epi16(153)));
  p.r = _mm256_add_epi16(_mm256_add_epi16(c, e), _mm256_srai_epi16(restR, 8));
  return p;
}

// Clamped bytes of 32 pixels, pixels 0-15 in the low lane.
__attribute__((target("avx2"))) inline __m256i PackPlane(__m256i first, __m256i second) {
  return _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), _MM_SHUFFLE(3, 1, 2, 0));
}

__attribute__((target("avx2"))) inline __m256i Pick2(__m256i plane, int k, int ch) {
  return _mm256_shuffle_epi8(plane, Broadcast(kInterleave.bytes[k][ch]));
}

__attribute__((target("avx2"))) void ConvertRowAvx2(const uint8_t* src, uint8_t* dst, int groups) {
  int g = 0;
  for (; g + 16 <= groups; g += 16) {
    const Planes16x2 lo = Convert16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)));
    const Planes16x2 hi = Convert16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32)));
    const __m256i b = PackPlane(lo.b, hi.b);
    const __m256i gr = PackPlane(lo.g, hi.g);
    const __m256i r = PackPlane(lo.r, hi.r);
    __m256i out[3];
    for (int k = 0; k < 3; ++k) out[k] = _mm256_or_si256(_mm256_or_si256(Pick2(b, k, 0), Pick2(gr, k, 1)), Pick2(r, k, 2));
    // Low lanes hold output bytes 0-47, high lanes bytes 48-95.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_permute2x128_si256(out[0], out[1], 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32), _mm256_permute2x128_si256(out[2], out[0], 0x30));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 64), _mm256_permute2x128_si256(out[1], out[2], 0x31));
    src += 64;
    dst += 96;
  }
  ConvertRowSsse3(src, dst, groups - g);
}

struct CpuKernels {
  bool ssse3, avx2;
};

CpuKernels DetectKernels() {
  __builtin_cpu_init();
  return {__builtin_cpu_supports("ssse3") != 0, __builtin_cpu_supports("avx2") != 0};
}

const CpuKernels& Cpu() {
  static const CpuKernels cpu = DetectKernels();
  return cpu;
}
#endif

}  // namespace

void ConvertRowScalar(const uint8_t* src, uint8_t* dst, int groups) {
  for (int g = 0; g < groups; ++g, src += 4, dst += 6) {
    const int d = src[1] - 128;
    const int e = src[3] - 128;
    const int blue = 516 * d + 128;
    const int green = -100 * d - 208 * e + 128;
    const int red = 409 * e + 128;
    for (int half = 0; half < 2; ++half) {
      const int c = 298 * (src[half * 2] - 16);
      dst[half * 3 + 0] = Clamp255((c + blue) >> 8);
      dst[half * 3 + 1] = Clamp255((c + green) >> 8);
      dst[half * 3 + 2] = Clamp255((c + red) >> 8);
    }
  }
}

Kernel Resolve(Kernel kernel) {
#ifdef VT_YUY2_X86
  const CpuKernels& cpu = Cpu();
  if ((kernel == Kernel::Best || kernel == Kernel::Avx2) && cpu.avx2 && cpu.ssse3) return Kernel::Avx2;
  if (kernel != Kernel::Scalar && cpu.ssse3) return Kernel::Ssse3;
#endif
  (void)kernel;
  return Kernel::Scalar;
}

bool HasVectorKernel() { return Resolve(Kernel::Best) != Kernel::Scalar; }

const char* KernelName(Kernel kernel) {
  switch (Resolve(kernel)) {
    case Kernel::Avx2: return "avx2";
    case Kernel::Ssse3: return "ssse3";
    default: return "scalar";
  }
}

void ConvertRow(const uint8_t* src, uint8_t* dst, int groups, Kernel kernel) {
  switch (Resolve(kernel)) {
#ifdef VT_YUY2_X86
    case Kernel::Avx2:
      ConvertRowAvx2(src, dst, groups);
      return;
    case Kernel::Ssse3:
      ConvertRowSsse3(src, dst, groups);
      return;
#endif
    default:
      ConvertRowScalar(src, dst, groups);
      return;
  }
}

int ConvertFrameBottomUp(const uint8_t* frame, size_t length, int width, int height, uint8_t* dst, Kernel kernel) {
  if (frame == nullptr || dst == nullptr || width <= 0 || height <= 0) return 0;
  const size_t srcStride = static_cast<size_t>(width) * 2;
  const size_t dstStride = static_cast<size_t>(width) * 3;
  const size_t rowsPresent = length / srcStride;
  const int rows = rowsPresent < static_cast<size_t>(height) ? static_cast<int>(rowsPresent) : height;
  const Kernel resolved = Resolve(kernel);
  for (int r = 0; r < rows; ++r) {
    ConvertRow(frame + srcStride * r, dst + dstStride * (height - 1 - r), width / 2, resolved);
  }
  return rows;
}

}  // namespace yuy2
