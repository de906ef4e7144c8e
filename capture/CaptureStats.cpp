#include "capture/CaptureStats.h"

#include "platform/Tick.h"

void CaptureStats::StampFirstTick() {
  if (videoFrames.load(std::memory_order_relaxed) == 0 && audioBlocks.load(std::memory_order_relaxed) == 0) {
    firstTick.store(platform::GetTickCount(), std::memory_order_relaxed);
  }
}

void CaptureStats::CountVideoFrame() {
  StampFirstTick();
  videoFrames.fetch_add(1, std::memory_order_relaxed);
}

void CaptureStats::CountAudioBlock() {
  StampFirstTick();
  audioBlocks.fetch_add(1, std::memory_order_relaxed);
}

void CaptureStats::Reset() {
  firstTick.store(0, std::memory_order_relaxed);
  videoFrames.store(0, std::memory_order_relaxed);
  audioBlocks.store(0, std::memory_order_relaxed);
}

CaptureStats& GetCaptureStats() {
  static CaptureStats stats;
  return stats;
}
