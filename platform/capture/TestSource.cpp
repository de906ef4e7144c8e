#include "platform/capture/TestSource.h"

#include "infra/Logger.h"
#include "platform/capture/TestScene.h"

namespace platform::capture {

CTestSource::CTestSource(const TestSceneParams& params)
    : m_params(params), m_frame(kTestFrameBytes), m_audio(kTestAudioBlockMax) {}

bool CTestSource::StartStreaming() {
  m_start = std::chrono::steady_clock::now();
  m_nextFrame = 0;
  m_nextBlock = 0;
  m_framesDelivered = 0;
  return true;
}

ReadResult CTestSource::Read(CaptureSample* sample, bool wantAudio, CCaptureStopSignal& stop,
                             uint32_t* dropped) {
  using namespace std::chrono;
  if (m_params.failAfterFrames > 0 && m_framesDelivered >= static_cast<uint64_t>(m_params.failAfterFrames)) {
    Log("CTestSource::Read scripted failure after %d frames\n", m_params.failAfterFrames);
    return ReadResult::Failed;
  }
  const uint64_t frameUs = 1000000u / static_cast<uint64_t>(m_params.fps);
  const uint64_t elapsedUs = static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now() - m_start).count());
  if (elapsedUs > (m_nextFrame + 1) * frameUs) {
    uint64_t due = elapsedUs / frameUs;
    *dropped += static_cast<uint32_t>(due - m_nextFrame);
    m_nextFrame = due;
  }
  const uint64_t videoUs = m_nextFrame * frameUs;
  // A block is handed over once its tenth of a second has been "recorded".
  const bool audioFirst = wantAudio && m_params.audio && (m_nextBlock + 1) * 100000 < videoUs;
  const uint64_t dueUs = audioFirst ? (m_nextBlock + 1) * 100000 : videoUs;
  if (!stop.WaitUntil(m_start + microseconds(dueUs))) return ReadResult::Stopped;

  if (audioFirst) {
    sample->kind = CaptureSample::Kind::Audio;
    sample->length = TestAudioBlockLength(m_nextBlock);
    RenderTestAudioBlock(m_nextBlock, m_audio.data());
    sample->data = m_audio.data();
    ++m_nextBlock;
  } else {
    sample->kind = CaptureSample::Kind::Video;
    RenderTestFrame(m_params, m_nextFrame, m_frame.data());
    sample->data = m_frame.data();
    sample->length = static_cast<uint32_t>(kTestFrameBytes);
    ++m_nextFrame;
    ++m_framesDelivered;
  }
  sample->timeMs = static_cast<uint32_t>(dueUs / 1000);
  return ReadResult::Sample;
}

bool CTestBackend::Describe(int index, std::string* name, std::string* version) {
  if (index < 0 || index >= m_params.channels) return false;
  *name = "Test scene " + std::to_string(index);
  *version = "640x480 YUY2 " + std::to_string(m_params.fps) + " fps, motion " +
             std::to_string(m_params.motionSeconds) + " s";
  return true;
}

std::unique_ptr<CCaptureSource> CTestBackend::Open(int index) {
  if (index < 0 || index >= m_params.channels) return nullptr;
  return std::make_unique<CTestSource>(m_params);
}

}  // namespace platform::capture
