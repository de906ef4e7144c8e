#pragma once
// The test backend: `channels` drivers, each a synthetic TestScene at a steady frame rate
// with 1/10-second tone blocks. Frame i is delivered at i / fps seconds after the start of
// the run and shows scene frame i; when the thread falls behind by more than a frame, the
// late slots are skipped and counted as dropped, so the scene keeps to wall time.
//
// Who may include it: platform/capture and its tests. Threading as in CaptureBackend.h.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture/CaptureBackend.h"
#include "platform/capture/CaptureSelection.h"

namespace platform::capture {

class CTestSource : public CCaptureSource {
 public:
  explicit CTestSource(const TestSceneParams& params);
  int Width() const override { return kFrameWidth; }
  int Height() const override { return kFrameHeight; }
  uint32_t MicroSecPerFrame() const override { return 1000000u / static_cast<uint32_t>(m_params.fps); }
  bool HasAudio() const override { return m_params.audio; }
  bool StartStreaming() override;
  ReadResult Read(CaptureSample* sample, bool wantAudio, CCaptureStopSignal& stop,
                  uint32_t* dropped) override;
  void StopStreaming() override {}

 private:
  TestSceneParams m_params;
  std::vector<uint8_t> m_frame;
  std::vector<uint8_t> m_audio;
  std::chrono::steady_clock::time_point m_start;
  uint64_t m_nextFrame = 0;
  uint64_t m_nextBlock = 0;
  uint64_t m_framesDelivered = 0;
};

class CTestBackend : public CCaptureBackend {
 public:
  explicit CTestBackend(const TestSceneParams& params) : m_params(params) {}
  bool Describe(int index, std::string* name, std::string* version) override;
  std::unique_ptr<CCaptureSource> Open(int index) override;

 private:
  TestSceneParams m_params;
};

}  // namespace platform::capture
