#include "capture/CaptureStats.h"
#include "gtest/gtest.h"
#include "platform/Tick.h"

namespace {

TEST(CaptureStats, FirstDeliveryOfEitherKindStampsTheRun) {
  platform::FreezeTickForTest(1000);
  CaptureStats& stats = GetCaptureStats();
  stats.Reset();
  stats.CountAudioBlock();  // audio first
  platform::AdvanceTickForTest(40);
  stats.CountVideoFrame();
  stats.CountAudioBlock();
  EXPECT_EQ(stats.FirstTick(), 1000u);
  EXPECT_EQ(stats.VideoFrames() * 10 + stats.AudioBlocks(), 12u);
  stats.Reset();
  platform::AdvanceTickForTest(60);
  stats.CountVideoFrame();  // video first
  platform::AdvanceTickForTest(5);
  stats.CountAudioBlock();
  EXPECT_EQ(stats.FirstTick(), 1100u);
  platform::ResetTickForTest();
}

}  // namespace
