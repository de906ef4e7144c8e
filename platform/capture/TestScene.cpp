#include "platform/capture/TestScene.h"

#include <cmath>

namespace platform::capture {
namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kStripCellWidth = 16;
constexpr int kStripLeft = 64;
constexpr uint64_t kAudioRate = 11025;

uint8_t BackgroundLuma(int x, int y) {
  int checker = ((x >> 5) ^ (y >> 5)) & 1;
  return static_cast<uint8_t>(70 + 50 * checker + ((x * 7 + y * 13) & 15));
}

}  // namespace

bool TestSceneHasBlock(const TestSceneParams& params, uint64_t frameIndex) {
  if (params.motionSeconds <= 0) return false;
  uint64_t cycle = static_cast<uint64_t>(params.motionSeconds) * params.fps;
  uint64_t hold = static_cast<uint64_t>(params.holdSeconds) * params.fps;
  return frameIndex % cycle >= cycle - hold;
}

void RenderTestFrame(const TestSceneParams& params, uint64_t frameIndex, uint8_t* out) {
  const bool block = TestSceneHasBlock(params, frameIndex);
  const uint32_t stripBits = static_cast<uint32_t>(frameIndex);
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = out + static_cast<size_t>(y) * kWidth * 2;
    const bool blockRow = block && y >= kTestBlockTop && y < kTestBlockBottom;
    const bool stripRow = y >= kTestIndexStripTop;
    for (int x = 0; x < kWidth; x += 2) {
      uint8_t y0 = BackgroundLuma(x, y);
      uint8_t y1 = BackgroundLuma(x + 1, y);
      uint8_t u = static_cast<uint8_t>(112 + ((x >> 4) & 31));
      uint8_t v = static_cast<uint8_t>(112 + ((y >> 4) & 31));
      if (blockRow && x >= kTestBlockLeft && x < kTestBlockRight) {
        y0 = y1 = 235;
        u = 96;
        v = 160;
      } else if (stripRow && x >= kStripLeft && x < kStripLeft + 32 * kStripCellWidth) {
        int bit = (x - kStripLeft) / kStripCellWidth;
        y0 = y1 = ((stripBits >> bit) & 1) ? 235 : 16;
        u = v = 128;
      }
      uint8_t* p = row + static_cast<size_t>(x) * 2;
      p[0] = y0;
      p[1] = u;
      p[2] = y1;
      p[3] = v;
    }
  }
}

uint32_t TestFrameIndexOf(const uint8_t* frame) {
  const int y = kTestIndexStripTop + 4;
  uint32_t index = 0;
  for (int bit = 0; bit < 32; ++bit) {
    int x = kStripLeft + bit * kStripCellWidth + kStripCellWidth / 2;
    if (frame[(static_cast<size_t>(y) * kWidth + x) * 2] > 128) index |= 1u << bit;
  }
  return index;
}

uint32_t TestAudioBlockLength(uint64_t block) {
  return static_cast<uint32_t>((block + 1) * kAudioRate / 10 - block * kAudioRate / 10);
}

void RenderTestAudioBlock(uint64_t block, uint8_t* out) {
  const uint64_t first = block * kAudioRate / 10;
  const uint32_t count = TestAudioBlockLength(block);
  for (uint32_t i = 0; i < count; ++i) {
    // The phase is taken modulo one second of samples so that it stays exact for any block.
    uint64_t n = (first + i) % kAudioRate;
    double value = 128.0 + 64.0 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(n) / kAudioRate);
    out[i] = static_cast<uint8_t>(std::lround(value));
  }
}

}  // namespace platform::capture
