#pragma once
// Brightness of a 24-bit picture, pixel by pixel and as 8x8 block means: the measuring half
// of the motion detector. Pure functions, no allocation; any thread.
//
// A pixel's brightness is L = R * 0.2125 + G * 0.7154 + B * 0.0721, with the constants as
// single-precision numbers, the arithmetic in double precision, truncated to an integer.
// Each constant is a float, hence an integer multiple of 2^-27 below 1, so every product
// and sum of that formula is exact in double and L = floor((R kR + G kG + B kB) / 2^27)
// with the integers k = constant * 2^27. That needs 35 bits; splitting each k into
// k = kh * 2^15 + kl gives the same floor from two 32-bit sums:
//     L = (hi + (lo >> 15)) >> 12,  hi = R khR + G khG + B khB,  lo = R klR + G klG + B klB
// The tests check this against the floating-point formula for all 2^24 colours.
#include <cstddef>
#include <cstdint>

namespace blockluma {

enum class Kernel { Best, Scalar };

constexpr int kBlock = 8;

namespace detail {
constexpr double kScale = 134217728.0;  // 2^27
constexpr int64_t kR = static_cast<int64_t>(static_cast<double>(0.2125f) * kScale);
constexpr int64_t kG = static_cast<int64_t>(static_cast<double>(0.7154f) * kScale);
constexpr int64_t kB = static_cast<int64_t>(static_cast<double>(0.0721f) * kScale);
static_assert(static_cast<double>(kR) == static_cast<double>(0.2125f) * kScale, "red weight not a multiple of 2^-27");
static_assert(static_cast<double>(kG) == static_cast<double>(0.7154f) * kScale, "green weight not a multiple of 2^-27");
static_assert(static_cast<double>(kB) == static_cast<double>(0.0721f) * kScale, "blue weight not a multiple of 2^-27");
// Both halves must fit signed 16-bit lanes for the vector multiply-add.
constexpr int kRh = static_cast<int>(kR >> 15), kRl = static_cast<int>(kR & 0x7fff);
constexpr int kGh = static_cast<int>(kG >> 15), kGl = static_cast<int>(kG & 0x7fff);
constexpr int kBh = static_cast<int>(kB >> 15), kBl = static_cast<int>(kB & 0x7fff);
static_assert(kRh < 32768 && kGh < 32768 && kBh < 32768, "high weight halves exceed 16 bits");
}  // namespace detail

inline int Luminance(int blue, int green, int red) {
  using namespace detail;
  const int hi = red * kRh + green * kGh + blue * kBh;
  const int lo = red * kRl + green * kGl + blue * kBl;
  return (hi + (lo >> 15)) >> 12;
}

// L of `count` pixels (blue, green, red bytes) into out[0..count).
void LuminanceRow(const uint8_t* bgr, int count, uint8_t* out, Kernel kernel = Kernel::Best);

// Block means of a picture of width x height, rows `stride` bytes apart, taken in bands of
// 8 rows in memory order (the last band may be shorter). Each block's sum of L is divided
// by its pixel count (signed integer division) and the low byte stored, row-major, into
// out[((height - 1) / 8 + 1) * ((width - 1) / 8 + 1)].
void BlockMeans(const uint8_t* image, size_t stride, int width, int height, uint8_t* out,
                Kernel kernel = Kernel::Best);

}  // namespace blockluma
