#include "platform/capture/TestScene.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform::capture {
namespace {

std::vector<uint8_t> Frame(const TestSceneParams& p, uint64_t index) {
  std::vector<uint8_t> f(kTestFrameBytes);
  RenderTestFrame(p, index, f.data());
  return f;
}

int ChangedPixels(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int changed = 0;
  for (size_t i = 0; i < static_cast<size_t>(kTestIndexStripTop) * 640 * 2; i += 2) {
    if (std::abs(a[i] - b[i]) >= 15) ++changed;
  }
  return changed;
}

TEST(TestScene, FrameIsAFunctionOfItsIndexOnly) {
  TestSceneParams p;
  EXPECT_EQ(Frame(p, 42), Frame(p, 42));
  EXPECT_NE(Frame(p, 41), Frame(p, 42)) << "the index strip tells frames apart";
  EXPECT_EQ(ChangedPixels(Frame(p, 41), Frame(p, 42)), 0) << "still frames differ only in the strip";
  for (uint64_t index : {0ull, 1ull, 5ull, 199ull, 123456789ull, 0xFFFFFFFFull}) {
    EXPECT_EQ(TestFrameIndexOf(Frame(p, index).data()), static_cast<uint32_t>(index));
  }
  std::vector<uint8_t> f = Frame(p, 3);
  for (size_t i = 0; i < f.size(); i += 2) {
    ASSERT_GE(f[i], 16);  // video-range luma
    ASSERT_LE(f[i], 235);
  }
}

TEST(TestScene, BlockEntersOnScheduleAndCoversMoreThanAThird) {
  TestSceneParams p;  // motion every 20 s, 3 s hold, 10 fps: frames 170..199 of each cycle
  EXPECT_FALSE(TestSceneHasBlock(p, 0));
  EXPECT_FALSE(TestSceneHasBlock(p, 169));
  EXPECT_TRUE(TestSceneHasBlock(p, 170));
  EXPECT_TRUE(TestSceneHasBlock(p, 199));
  EXPECT_FALSE(TestSceneHasBlock(p, 200));
  EXPECT_TRUE(TestSceneHasBlock(p, 370));

  int changed = ChangedPixels(Frame(p, 169), Frame(p, 170));
  const int blockPixels = (kTestBlockRight - kTestBlockLeft) * (kTestBlockBottom - kTestBlockTop);
  EXPECT_EQ(changed, blockPixels);
  EXPECT_GT(changed * 100, 640 * 480 * 35) << "large enough for the motion detector";
  EXPECT_EQ(ChangedPixels(Frame(p, 170), Frame(p, 185)), 0) << "the block stands still while it stays";

  TestSceneParams still = p;
  still.motionSeconds = 0;
  for (uint64_t i = 0; i < 1000; i += 7) ASSERT_FALSE(TestSceneHasBlock(still, i));
}

TEST(TestScene, AudioBlocksAreTenthsOfASecondOfATone) {
  uint64_t total = 0;
  for (uint64_t b = 0; b < 10; ++b) {
    uint32_t n = TestAudioBlockLength(b);
    EXPECT_TRUE(n == 1102 || n == 1103) << n;
    total += n;
  }
  EXPECT_EQ(total, 11025u);

  std::vector<uint8_t> a(kTestAudioBlockMax), b(kTestAudioBlockMax);
  RenderTestAudioBlock(3, a.data());
  RenderTestAudioBlock(13, b.data());
  EXPECT_EQ(a, b);
  int low = 255, high = 0;
  long sum = 0;
  for (uint32_t i = 0; i < TestAudioBlockLength(3); ++i) {
    low = std::min<int>(low, a[i]);
    high = std::max<int>(high, a[i]);
    sum += a[i];
  }
  EXPECT_NEAR(low, 64, 1);
  EXPECT_NEAR(high, 192, 1);
  EXPECT_NEAR(static_cast<double>(sum) / TestAudioBlockLength(3), 128.0, 2.0) << "unsigned 8-bit, centred on 128";
}

}  // namespace
}  // namespace platform::capture
