#include <cstring>
#include <vector>

#include "capture/BlockLuminance.h"
#include "capture/MotionDetector.h"
#include "gtest/gtest.h"
#include "platform/Tick.h"

namespace {

int LiteralLuminance(int blue, int green, int red) {
  return static_cast<int>(red * static_cast<double>(0.2125f) + green * static_cast<double>(0.7154f) +
                          blue * static_cast<double>(0.0721f));
}

std::vector<uint8_t> Gray(int width, int height, uint8_t level) {
  return std::vector<uint8_t>(static_cast<size_t>(width) * height * 3, level);
}

void PaintBlock(std::vector<uint8_t>& image, int width, int bx, int by, uint8_t level) {
  for (int r = 0; r < 8; ++r) {
    std::memset(image.data() + (static_cast<size_t>(by * 8 + r) * width + bx * 8) * 3, level, 8 * 3);
  }
}

class TickFrozen : public ::testing::Test {
 protected:
  void SetUp() override { platform::FreezeTickForTest(kStart); }
  void TearDown() override { platform::ResetTickForTest(); }
  static constexpr uint32_t kStart = 5000;  // the first reference lies before tick 0: wraps
};

TEST(BlockLuminance, IntegerAndVectorFormsEqualTheFormulaForAllColours) {
  std::vector<uint8_t> row(65536 * 3);
  std::vector<uint8_t> vectorOut(65536);
  long mismatches = 0;
  for (int red = 0; red < 256; ++red) {
    for (int i = 0; i < 65536; ++i) {
      row[i * 3] = static_cast<uint8_t>(i & 0xff);  // blue
      row[i * 3 + 1] = static_cast<uint8_t>(i >> 8);  // green
      row[i * 3 + 2] = static_cast<uint8_t>(red);
    }
    blockluma::LuminanceRow(row.data(), 65536, vectorOut.data());
    for (int i = 0; i < 65536; ++i) {
      const int blue = i & 0xff, green = i >> 8;
      const int expected = LiteralLuminance(blue, green, red);
      if (blockluma::Luminance(blue, green, red) != expected || vectorOut[i] != expected) {
        if (++mismatches < 5) ADD_FAILURE() << blue << "," << green << "," << red;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(blockluma::Luminance(200, 200, 200), 199);
  EXPECT_EQ(blockluma::Luminance(0, 0, 0), 0);
}

TEST(BlockLuminance, NarrowLastColumnAndShortLastBandDivideByTheirOwnPixels) {
  const int w = 641, h = 479;
  auto image = Gray(w, h, 0);
  for (int y = 0; y < h; ++y) {
    uint8_t* p = image.data() + (static_cast<size_t>(y) * w + 640) * 3;
    p[0] = p[1] = p[2] = 201;  // L = 200
  }
  CMotionDetector detector;
  detector.SetImage(w, h, image.data());
  EXPECT_EQ(detector.BlocksX(), 81);
  EXPECT_EQ(detector.BlocksY(), 60);
  detector.FeedFrame();
  const uint8_t* bg = detector.Background();
  ASSERT_NE(bg, nullptr);
  EXPECT_EQ(bg[80], 200);
  EXPECT_EQ(bg[59 * 81 + 80], 200);
  EXPECT_EQ(bg[79], 0);
  auto banded = Gray(w, h, 0);
  std::memset(banded.data() + static_cast<size_t>(472) * w * 3, 201, 8 * 3);
  CMotionDetector second;
  second.SetImage(w, h, banded.data());
  second.FeedFrame();
  EXPECT_EQ(second.Background()[59 * 81], 200 * 8 / 56);
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

TEST_F(TickFrozen, AlarmNeedsMoreThan350PerMilleOfThePicture) {
  for (const auto& [blocks, alarm] : {std::pair{1680, 0}, std::pair{1684, 0}, std::pair{1685, 1}}) {
    auto image = Gray(640, 480, 100);
    CMotionDetector detector;
    detector.SetImage(640, 480, image.data());
    detector.FeedFrame();
    for (int i = 0; i < blocks; ++i) PaintBlock(image, 640, i % 80, i / 80, 200);
    platform::AdvanceTickForTest(20000);
    detector.FeedFrame();
    EXPECT_EQ(detector.ChangedCount(), blocks * 64);
    EXPECT_EQ(detector.IsTriggered(), alarm) << blocks;
  }
}

TEST_F(TickFrozen, FirstAlarmAfter5001MsThenAtMostOneEvery15001Ms) {
  auto image = Gray(640, 480, 60);
  CMotionDetector detector;  // made at kStart, reference kStart - 10000
  EXPECT_EQ(detector.LastAlarmTick(), kStart - 10000);
  detector.SetImage(640, 480, image.data());
  detector.FeedFrame();
  std::memset(image.data(), 200, image.size());  // a lasting change: stays changed for many frames

  platform::AdvanceTickForTest(5000);
  detector.FeedFrame();
  EXPECT_EQ(detector.IsTriggered(), 0);
  platform::AdvanceTickForTest(1);
  detector.FeedFrame();
  EXPECT_EQ(detector.IsTriggered(), 1);
  const uint32_t alarmAt = platform::GetTickCount();
  EXPECT_EQ(detector.LastAlarmTick(), alarmAt);

  std::memset(image.data(), 20, image.size());
  platform::AdvanceTickForTest(10000);
  detector.FeedFrame();
  EXPECT_GT(detector.ChangedCount(), 0);
  EXPECT_EQ(detector.IsTriggered(), 0);
  platform::AdvanceTickForTest(5000);
  detector.FeedFrame();
  EXPECT_EQ(detector.IsTriggered(), 0);  // exactly 15000 ms
  platform::AdvanceTickForTest(1);
  detector.FeedFrame();
  EXPECT_EQ(detector.IsTriggered(), 1);
}

TEST_F(TickFrozen, BackgroundFollowsOneStepEverySecondFrame) {
  auto image = Gray(64, 16, 101);  // L = 100
  CMotionDetector detector;
  detector.SetImage(64, 16, image.data());
  detector.FeedFrame();
  std::memset(image.data(), 131, image.size());  // L = 130
  const int expectedUp[] = {100, 101, 101, 102, 102, 103};
  for (int expected : expectedUp) {
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

TEST_F(TickFrozen, LargePictureDoesNotOverflowTheShare) {
  auto image = Gray(2000, 1200, 10);
  CMotionDetector detector;
  detector.SetImage(2000, 1200, image.data());
  detector.FeedFrame();
  std::memset(image.data(), 250, image.size());
  platform::AdvanceTickForTest(6000);
  detector.FeedFrame();
  EXPECT_EQ(detector.ChangedCount(), 37500 * 64);
  EXPECT_EQ(detector.IsTriggered(), 1);
}

TEST_F(TickFrozen, MissingImageAndSizeChangeAreSafe) {
  CMotionDetector detector;
  detector.FeedFrame();  // no image yet
  EXPECT_EQ(detector.Background(), nullptr);
  EXPECT_EQ(detector.IsTriggered(), 0);

  auto small = Gray(16, 8, 50);
  detector.SetImage(16, 8, small.data());
  detector.FeedFrame();
  ASSERT_NE(detector.Background(), nullptr);
  auto large = Gray(64, 32, 50);
  detector.SetImage(64, 32, large.data());  // maps no longer fit: start over
  EXPECT_EQ(detector.Background(), nullptr);
  detector.FeedFrame();
  detector.FeedFrame();
  EXPECT_EQ(detector.BlocksX() * detector.BlocksY(), 32);
  EXPECT_EQ(detector.Background()[31], 49);
}

}  // namespace
