#pragma once
// CaptureStats: the process-wide capture counters (all channels together).
//
// Counted on the capture threads by the frame and audio callbacks, read without a lock by
// the main window's watchdog timer and by the statistics written when capture stops. The
// counters are relaxed atomics: a reader may see a slightly stale value, never a torn one.
#include <atomic>
#include <cstdint>

struct CaptureStats {
  std::atomic<uint32_t> firstTick{0};    // tick of the first frame or audio block of the run
  std::atomic<uint32_t> videoFrames{0};  // video frames delivered
  std::atomic<uint32_t> audioBlocks{0};  // audio blocks delivered

  // A video frame was processed: stamps firstTick when nothing was counted before.
  void CountVideoFrame();
  // An audio block arrived (counted before it is handed on), same first-tick rule.
  void CountAudioBlock();

  uint32_t FirstTick() const { return firstTick.load(std::memory_order_relaxed); }
  uint32_t VideoFrames() const { return videoFrames.load(std::memory_order_relaxed); }
  uint32_t AudioBlocks() const { return audioBlocks.load(std::memory_order_relaxed); }

  // Back to the start of a run; for tests.
  void Reset();

 private:
  void StampFirstTick();
};

// The one instance of the process.
CaptureStats& GetCaptureStats();
