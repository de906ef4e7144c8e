#include <cstring>
#include <vector>

#include "capture/BlockLuminance.h"
#include "capture/MotionDetector.h"
#include "gtest/gtest.h"
#include "platform/Tick.h"

namespace {

std::vector<uint8_t> Gray(int width, int height, uint8_t level) {
  return std::vector<uint8_t>(static_cast<size_t>(width) * height * 3, level);
}

class TickFrozen : public ::testing::Test {
 protected:
  void SetUp() override { platform::FreezeTickForTest(kStart); }
  void TearDown() override { platform::ResetTickForTest(); }
  static constexpr uint32_t kStart = 5000;  // the first reference lies before tick 0: wraps
};

TEST(BlockLuminance, IntegerAndVectorFormsEqualTheFormulaForAllColours) {
  std::vector<uint8_t> row(65536 * 3), vectorOut(65536);
  long mismatches = 0;
  for (int red = 0; red < 256; ++red) {
    for (int i = 0; i < 65536; ++i) {
      row[i * 3] = static_cast<uint8_t>(i & 0xff);
      row[i * 3 + 1] = static_cast<uint8_t>(i >> 8);
      row[i * 3 + 2] = static_cast<uint8_t>(red);
    }
    blockluma::LuminanceRow(row.data(), 65536, vectorOut.data());
    for (int i = 0; i < 65536; ++i) {
      const int blue = i & 0xff, green = i >> 8;
      const int expected = static_cast<int>(red * double{0.2125f} + green * double{0.7154f} + blue * double{0.0721f});
      if ((blockluma::Luminance(blue, green, red) != expected || vectorOut[i] != expected) && ++mismatches < 5)
        ADD_FAILURE() << blue << "," << green << "," << red;
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(blockluma::Luminance(200, 200, 200), 199);
}

TEST(BlockLuminance, NarrowLastColumnAndShortLastBandDivideByTheirOwnPixels) {
  const int w = 641, h = 479;
  auto image = Gray(w, h, 0);
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
    auto image = Gray(640, 480, 100);
    CMotionDetector detector;
    detector.SetImage(640, 480, image.data());
    detector.FeedFrame();
    std::memset(image.data(), 100 + step, image.size());
    detector.FeedFrame();
    EXPECT_EQ(detector.ChangedCount(), changed) << step;
    EXPECT_EQ(detector.Current()[0] - detector.Background()[0], step);
  }
}

// Strictly more than 350 per mille, counted without overflow on large pictures.
TEST_F(TickFrozen, AlarmNeedsMoreThan350PerMilleOfThePicture) {
  struct Row {
    int w, h, blocks, alarm;
  };
  for (const Row& r : {Row{640, 480, 1684, 0}, Row{640, 480, 1685, 1}, Row{2000, 1200, 37500, 1}}) {
    auto image = Gray(r.w, r.h, 100);
    CMotionDetector detector;
    detector.SetImage(r.w, r.h, image.data());
    detector.FeedFrame();
    for (int i = 0; i < r.blocks; ++i) {
      const int bx = i % (r.w / 8), by = i / (r.w / 8);
      for (int y = 0; y < 8; ++y) std::memset(&image[((by * 8 + y) * static_cast<size_t>(r.w) + bx * 8) * 3], 200, 24);
    }
    platform::AdvanceTickForTest(20000);
    detector.FeedFrame();
    EXPECT_EQ(detector.ChangedCount(), r.blocks * 64);
    EXPECT_EQ(detector.IsTriggered(), r.alarm) << r.blocks;
  }
}

TEST_F(TickFrozen, FirstAlarmAfter5001MsThenAtMostOneEvery15001Ms) {
  auto image = Gray(640, 480, 60);
  CMotionDetector detector;
  detector.SetImage(640, 480, image.data());
  detector.FeedFrame();
  std::memset(image.data(), 200, image.size());  // a lasting change: stays changed for many frames
  const auto alarmAfter = [&](uint32_t ms) {
    platform::AdvanceTickForTest(ms);
    detector.FeedFrame();
    EXPECT_GT(detector.ChangedCount(), 0);
    return detector.IsTriggered();
  };
  EXPECT_EQ(alarmAfter(5000), 0);
  EXPECT_EQ(alarmAfter(1), 1);
  EXPECT_EQ(detector.LastAlarmTick(), platform::GetTickCount());
  std::memset(image.data(), 20, image.size());
  EXPECT_EQ(alarmAfter(10000), 0);
  EXPECT_EQ(alarmAfter(5000), 0);  // exactly 15000 ms
  EXPECT_EQ(alarmAfter(1), 1);
}

TEST_F(TickFrozen, BackgroundFollowsOneStepEverySecondFrame) {
  auto image = Gray(64, 16, 101);  // L = 100
  CMotionDetector detector;
  detector.SetImage(64, 16, image.data());
  detector.FeedFrame();
  std::memset(image.data(), 131, image.size());  // L = 130
  for (int expected : {100, 101, 101, 102, 102, 103}) {
    detector.FeedFrame();
    EXPECT_EQ(detector.Background()[0], expected);
    EXPECT_EQ(detector.Background()[15], expected);
  }
  std::memset(image.data(), 1, image.size());  // L = 0
  detector.FeedFrame();
  detector.FeedFrame();
  EXPECT_EQ(detector.Background()[0], 102);
  std::memset(image.data(), 103, image.size());  // L = 102
  for (int i = 0; i < 4; ++i) detector.FeedFrame();
  EXPECT_EQ(detector.Background()[0], 102);
  EXPECT_EQ(detector.ChangedCount(), 0);
}

TEST_F(TickFrozen, MissingImageAndSizeChangeAreSafe) {
  CMotionDetector detector;
  detector.FeedFrame();  // no image yet
  EXPECT_EQ(detector.Background(), nullptr);
  EXPECT_EQ(detector.IsTriggered(), 0);
  auto small = Gray(16, 8, 50);
  detector.SetImage(16, 8, small.data());
  detector.FeedFrame();
  auto large = Gray(64, 32, 50);
  detector.SetImage(64, 32, large.data());  // maps no longer fit: start over
  EXPECT_EQ(detector.Background(), nullptr);
  detector.FeedFrame();
  detector.FeedFrame();
  EXPECT_EQ(detector.Background()[31], 49);
}

}  // namespace
