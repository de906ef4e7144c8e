#pragma once
// YUY2 (Y0 U Y1 V per pixel pair) to 24-bit blue-green-red conversion, the per-frame hot
// path of the preview. Pure functions: no state, no allocation, callable from any thread.
//
// Per pixel, with C = Y - 16, D = U - 128, E = V - 128, in signed 32-bit arithmetic with an
// arithmetic shift, each result clamped to 0..255:
//     blue  = (298 C + 516 D + 128) >> 8
//     green = (298 C - 100 D - 208 E + 128) >> 8
//     red   = (298 C + 409 E + 128) >> 8
// The vector kernels compute the same numbers in 16-bit lanes (see the .cpp) and are checked
// against this formula for every Y, U, V by the tests.
#include <cstddef>
#include <cstdint>

namespace yuy2 {

// Best picks the widest kernel this processor runs; a named kernel it lacks falls back to
// the next narrower one.
enum class Kernel { Best, Avx2, Ssse3, Scalar };

// The formula above, one pixel at a time; the reference for every other path.
void ConvertRowScalar(const uint8_t* src, uint8_t* dst, int groups);

// Converts `groups` source groups (4 bytes each) into 2 * groups pixels (6 bytes each).
void ConvertRow(const uint8_t* src, uint8_t* dst, int groups, Kernel kernel = Kernel::Best);

// The kernel that a request resolves to on this processor.
Kernel Resolve(Kernel kernel);
bool HasVectorKernel();
const char* KernelName(Kernel kernel);

// Converts a frame of `width` x `height` (source rows top to bottom, width * 2 bytes each)
// into `dst`, bottom-up, width * 3 bytes per row. An odd last column is not written. Only
// the whole source rows inside `length` are converted; the rows of dst that belong to
// missing source rows are left as they were. Returns the number of rows converted.
int ConvertFrameBottomUp(const uint8_t* frame, size_t length, int width, int height, uint8_t* dst,
                         Kernel kernel = Kernel::Best);

}  // namespace yuy2
