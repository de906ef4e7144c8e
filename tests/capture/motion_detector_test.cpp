#include <cstring>
#include <vector>

#include "capture/BlockLuminance.h"
#include "capture/MotionDetector.h"
#include "gtest/gtest.h"
#include "platform/Tick.h"

namespace {

// A detector fed one frame of a uniform BGR picture, which stays its source.
struct Scene {
  Scene(int w, int h, uint8_t level) : image(static_cast<size_t>(w) * h * 3, level) {
    detector.SetImage(w, h, image.data());
    detector.FeedFrame();
  }
  void Feed(uint8_t level, uint32_t afterMs = 0) {
    std::memset(image.data(), level, image.size());
    platform::AdvanceTickForTest(afterMs);
    detector.FeedFrame();
  }
  std::vector<uint8_t> image;
  CMotionDetector detector;
};

class TickFrozen : public ::testing::Test {
 protected:
  void SetUp() override { platform::FreezeTickForTest(5000); }  // the first reference lies before tick 0: wraps
  void TearDown() override { platform::ResetTickForTest(); }
};

TEST(BlockLuminance, IntegerAndVectorFormsEqualTheFormulaForAllColours) {
  std::vector<uint8_t> row(65536 * 3), vectorOut(65536);
  long mismatches = 0;
  for (int i = 0; i < 65536; ++i) std::memcpy(&row[i * 3], &i, 2);  // blue, green
  for (int red = 0; red < 256; ++red) {
    for (int i = 0; i < 65536; ++i) row[i * 3 + 2] = static_cast<uint8_t>(red);
    blockluma::LuminanceRow(row.data(), 65536, vectorOut.data());
    for (int i = 0; i < 65536; ++i) {
      const int blue = i & 0xff, green = i >> 8;
      const int expected = static_cast<int>(red * double{0.2125f} + green * double{0.7154f} + blue * double{0.0721f});
      if ((blockluma::Luminance(blue, green, red) != expected || vectorOut[i] != expected) && ++mismatches < 5)
        ADD_FAILURE() << blue << "," << green << "," << red;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(BlockLuminance, NarrowLastColumnAndShortLastBandDivideByTheirOwnPixels) {
  const int w = 641, h = 479;
  std::vector<uint8_t> image(static_cast<size_t>(w) * h * 3, 0);
  for (int y = 0; y < h; ++y) std::memset(image.data() + (static_cast<size_t>(y) * w + 640) * 3, 201, 3);  // L 200
  std::memset(image.data() + static_cast<size_t>(472) * w * 3, 201, 8 * 3);  // one row of the last band
  CMotionDetector detector;
  detector.SetImage(w, h, image.data());
  ASSERT_EQ(detector.BlocksX() * detector.BlocksY(), 81 * 60);
  detector.FeedFrame();
  const uint8_t* bg = detector.Background();
  EXPECT_EQ((std::vector<int>{bg[80], bg[59 * 81 + 80], bg[79], bg[59 * 81]}), (std::vector<int>{200, 200, 0, 28}));
}

TEST_F(TickFrozen, FourteenLevelsNeverCountFifteenDo) {
  for (const auto& [step, changed] : {std::pair{14, 0}, std::pair{15, 4800 * 64}}) {
    Scene scene(640, 480, 100);
    scene.Feed(static_cast<uint8_t>(100 + step));
    EXPECT_EQ(scene.detector.ChangedCount(), changed) << step;
    EXPECT_EQ(scene.detector.Current()[0] - scene.detector.Background()[0], step);
  }
}

// Strictly more than 350 per mille, counted without overflow on large pictures.
TEST_F(TickFrozen, AlarmNeedsMoreThan350PerMilleOfThePicture) {
  struct Row { int w, h, blocks, alarm; };
  for (const Row& r : {Row{640, 480, 1684, 0}, Row{640, 480, 1685, 1}, Row{2000, 1200, 37500, 1}}) {
    Scene scene(r.w, r.h, 100);
    for (int i = 0; i < r.blocks; ++i) {
      const int bx = i % (r.w / 8), by = i / (r.w / 8);
      for (int y = 0; y < 8; ++y) std::memset(&scene.image[((by * 8 + y) * size_t(r.w) + bx * 8) * 3], 200, 24);
    }
    platform::AdvanceTickForTest(20000);
    scene.detector.FeedFrame();
    EXPECT_EQ(scene.detector.ChangedCount(), r.blocks * 64);
    EXPECT_EQ(scene.detector.IsTriggered(), r.alarm) << r.blocks;
  }
}

// A lasting change stays changed for many frames; the alarms are spaced all the same.
TEST_F(TickFrozen, FirstAlarmAfter5001MsThenAtMostOneEvery15001Ms) {
  Scene scene(640, 480, 60);
  for (const auto& [level, afterMs, alarm] : {std::tuple<uint8_t, uint32_t, int>{200, 5000, 0}, {200, 1, 1},
                                              {20, 10000, 0}, {20, 5000, 0} /* exactly 15000 ms */, {20, 1, 1}}) {
    scene.Feed(level, afterMs);
    EXPECT_GT(scene.detector.ChangedCount(), 0);
    EXPECT_EQ(scene.detector.IsTriggered(), alarm) << afterMs;
    EXPECT_TRUE(!alarm || scene.detector.LastAlarmTick() == platform::GetTickCount());
  }
}

TEST_F(TickFrozen, BackgroundFollowsOneStepEverySecondFrame) {
  Scene scene(64, 16, 101);  // L = 100
  for (int expected : {100, 101, 101, 102, 102, 103}) {
    scene.Feed(131);  // L = 130
    EXPECT_EQ(scene.detector.Background()[0], expected);
    EXPECT_EQ(scene.detector.Background()[15], expected);
  }
  scene.Feed(1);  // L = 0
  scene.Feed(1);
  EXPECT_EQ(scene.detector.Background()[0], 102);
  for (int i = 0; i < 4; ++i) scene.Feed(103);  // L = 102
  EXPECT_EQ(scene.detector.Background()[0], 102);
  EXPECT_EQ(scene.detector.ChangedCount(), 0);
}

TEST_F(TickFrozen, MissingImageAndSizeChangeAreSafe) {
  CMotionDetector detector;
  detector.FeedFrame();  // no image yet
  EXPECT_EQ(detector.Background(), nullptr);
  EXPECT_EQ(detector.IsTriggered(), 0);
  std::vector<uint8_t> small(16 * 8 * 3, 50), large(64 * 32 * 3, 50);
  detector.SetImage(16, 8, small.data());
  detector.FeedFrame();
  detector.SetImage(64, 32, large.data());  // maps no longer fit: start over
  EXPECT_EQ(detector.Background(), nullptr);
  detector.FeedFrame();
  detector.FeedFrame();
  EXPECT_EQ(detector.Background()[31], 49);
}

}  // namespace
