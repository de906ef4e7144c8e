#include "capture/BlockLuminance.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VT_LUMA_X86 1
#endif

namespace blockluma {
namespace {

int ScalarSum(const uint8_t* bgr, int count) {
  int sum = 0;
  for (int i = 0; i < count; ++i, bgr += 3) sum += Luminance(bgr[0], bgr[1], bgr[2]);
  return sum;
}

#ifdef VT_LUMA_X86
// Pixels 0-3 of a block come from its bytes 0-15, pixels 4-7 from its bytes 8-23; the
// masks spread each pixel into 16-bit lanes (red, green) and (blue, 0) for a multiply-add.
constexpr uint8_t Z = 0x80;
alignas(16) constexpr uint8_t kRedGreenLo[16] = {2, Z, 1, Z, 5, Z, 4, Z, 8, Z, 7, Z, 11, Z, 10, Z};
alignas(16) constexpr uint8_t kBlueLo[16] = {0, Z, Z, Z, 3, Z, Z, Z, 6, Z, Z, Z, 9, Z, Z, Z};
alignas(16) constexpr uint8_t kRedGreenHi[16] = {6, Z, 5, Z, 9, Z, 8, Z, 12, Z, 11, Z, 15, Z, 14, Z};
alignas(16) constexpr uint8_t kBlueHi[16] = {4, Z, Z, Z, 7, Z, Z, Z, 10, Z, Z, Z, 13, Z, Z, Z};

__attribute__((target("ssse3"))) inline __m128i Mask(const uint8_t* m) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(m));
}

// L of 4 pixels as 32-bit lanes.
__attribute__((target("ssse3"))) inline __m128i Luma4(__m128i bytes, __m128i maskRedGreen, __m128i maskBlue) {
  using namespace detail;
  const __m128i rg = _mm_shuffle_epi8(bytes, maskRedGreen);
  const __m128i b = _mm_shuffle_epi8(bytes, maskBlue);
  const __m128i hi = _mm_add_epi32(_mm_madd_epi16(rg, _mm_setr_epi16(kRh, kGh, kRh, kGh, kRh, kGh, kRh, kGh)),
                                   _mm_madd_epi16(b, _mm_setr_epi16(kBh, 0, kBh, 0, kBh, 0, kBh, 0)));
  const __m128i lo = _mm_add_epi32(_mm_madd_epi16(rg, _mm_setr_epi16(kRl, kGl, kRl, kGl, kRl, kGl, kRl, kGl)),
                                   _mm_madd_epi16(b, _mm_setr_epi16(kBl, 0, kBl, 0, kBl, 0, kBl, 0)));
  return _mm_srli_epi32(_mm_add_epi32(hi, _mm_srli_epi32(lo, 15)), 12);
}

struct Luma8 {
  __m128i first, second;  // pixels 0-3 and 4-7
};

// L of the 8 pixels (24 bytes) at p.
__attribute__((target("ssse3"))) inline Luma8 LumaOf8(const uint8_t* p) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
  return {Luma4(lo, Mask(kRedGreenLo), Mask(kBlueLo)), Luma4(hi, Mask(kRedGreenHi), Mask(kBlueHi))};
}

__attribute__((target("ssse3"))) void LuminanceRowSsse3(const uint8_t* bgr, int count, uint8_t* out) {
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const Luma8 l = LumaOf8(bgr + static_cast<size_t>(i) * 3);
    const __m128i words = _mm_packs_epi32(l.first, l.second);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(words, words));
  }
  for (; i < count; ++i) out[i] = static_cast<uint8_t>(ScalarSum(bgr + static_cast<size_t>(i) * 3, 1));
}

// Sums of L over the whole 8-pixel blocks of one band.
__attribute__((target("ssse3"))) void BandSumsSsse3(const uint8_t* band, size_t stride, int rows, int fullBlocks,
                                                    int* sums) {
  for (int bx = 0; bx < fullBlocks; ++bx) {
    const uint8_t* p = band + static_cast<size_t>(bx) * kBlock * 3;
    __m128i acc = _mm_setzero_si128();
    for (int r = 0; r < rows; ++r, p += stride) {
      const Luma8 l = LumaOf8(p);
      acc = _mm_add_epi32(acc, _mm_add_epi32(l.first, l.second));
    }
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(1, 0, 3, 2)));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(2, 3, 0, 1)));
    sums[bx] = _mm_cvtsi128_si32(acc);
  }
}

bool DetectSsse3() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
}

bool UseVector(Kernel kernel) {
  static const bool has = DetectSsse3();
  return kernel == Kernel::Best && has;
}
#endif

void BandSumsScalar(const uint8_t* band, size_t stride, int rows, int fullBlocks, int* sums) {
  for (int bx = 0; bx < fullBlocks; ++bx) {
    int sum = 0;
    for (int r = 0; r < rows; ++r) sum += ScalarSum(band + stride * r + static_cast<size_t>(bx) * kBlock * 3, kBlock);
    sums[bx] = sum;
  }
}

}  // namespace

void LuminanceRow(const uint8_t* bgr, int count, uint8_t* out, Kernel kernel) {
#ifdef VT_LUMA_X86
  if (UseVector(kernel)) {
    LuminanceRowSsse3(bgr, count, out);
    return;
  }
#endif
  (void)kernel;
  for (int i = 0; i < count; ++i, bgr += 3) out[i] = static_cast<uint8_t>(Luminance(bgr[0], bgr[1], bgr[2]));
}

void BlockMeans(const uint8_t* image, size_t stride, int width, int height, uint8_t* out, Kernel kernel) {
  if (image == nullptr || out == nullptr || width <= 0 || height <= 0) return;
  const int blocksX = (width - 1) / kBlock + 1;
  const int fullBlocks = width / kBlock;
  const int lastColumns = (width - 1) % kBlock + 1;
  int sums[1024];  // one band's whole blocks at a time, in chunks for very wide pictures
  for (int top = 0; top < height; top += kBlock) {
    const int rows = height - top < kBlock ? height - top : kBlock;
    const uint8_t* band = image + stride * top;
    for (int first = 0; first < fullBlocks; first += 1024) {
      const int n = fullBlocks - first < 1024 ? fullBlocks - first : 1024;
      const uint8_t* chunk = band + static_cast<size_t>(first) * kBlock * 3;
#ifdef VT_LUMA_X86
      if (UseVector(kernel)) {
        BandSumsSsse3(chunk, stride, rows, n, sums);
      } else {
        BandSumsScalar(chunk, stride, rows, n, sums);
      }
#else
      (void)kernel;
      BandSumsScalar(chunk, stride, rows, n, sums);
#endif
      for (int i = 0; i < n; ++i) *out++ = static_cast<uint8_t>(sums[i] / (rows * kBlock));
    }
    if (fullBlocks < blocksX) {
      // The right-hand block is narrower; its mean divides by the pixels it really has.
      int sum = 0;
      const uint8_t* p = band + static_cast<size_t>(fullBlocks) * kBlock * 3;
      for (int r = 0; r < rows; ++r) sum += ScalarSum(p + stride * r, lastColumns);
      *out++ = static_cast<uint8_t>(sum / (rows * lastColumns));
    }
  }
}

}  // namespace blockluma
