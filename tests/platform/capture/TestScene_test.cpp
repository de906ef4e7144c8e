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

}  // namespace
}  // namespace platform::capture
