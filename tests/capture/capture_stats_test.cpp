#include <thread>
#include <vector>

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

TEST(CaptureStats, ChannelsCountingTogetherLoseNothing) {
  CaptureStats& stats = GetCaptureStats();
  stats.Reset();
  std::vector<std::thread> channels;
  for (int c = 0; c < 4; ++c) {
    channels.emplace_back([&stats] {
      for (int i = 0; i < 20000; ++i) {
        stats.CountVideoFrame();
        if (i % 4 == 0) stats.CountAudioBlock();
      }
    });
  }
  for (auto& t : channels) t.join();
  EXPECT_EQ(stats.VideoFrames(), 80000u);
  EXPECT_EQ(stats.AudioBlocks(), 20000u);
}

}  // namespace
