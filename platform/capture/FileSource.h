#pragma once
// The file backend: one driver that plays a video file, decoded with FFmpeg's libraries and
// scaled to YUYV 640x480, looped forever at the file's frame rate (10 fps when the file
// states none or an implausible one). Frames are paced from the start of the run like the
// test source; a thread that falls behind skips the late slots. No audio.
//
// Who may include it: platform/capture and its tests. Threading as in CaptureBackend.h.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture/CaptureBackend.h"

namespace platform::capture {

class CFileDecoder;  // the FFmpeg state, kept out of this header

class CFileSource : public CCaptureSource {
 public:
  explicit CFileSource(std::string path);
  ~CFileSource() override;
  // Opens the file and its video decoder; false (logged) when it has no decodable video.
  bool Open();
  int Width() const override { return kFrameWidth; }
  int Height() const override { return kFrameHeight; }
  uint32_t MicroSecPerFrame() const override { return m_microSecPerFrame; }
  bool HasAudio() const override { return false; }
  bool StartStreaming() override;
  ReadResult Read(CaptureSample* sample, bool wantAudio, CCaptureStopSignal& stop,
                  uint32_t* dropped) override;
  void StopStreaming() override {}

 private:
  std::string m_path;
  std::unique_ptr<CFileDecoder> m_decoder;
  uint32_t m_microSecPerFrame = 100000;
  std::vector<uint8_t> m_frame;
  std::chrono::steady_clock::time_point m_start;
  uint64_t m_nextFrame = 0;
};

class CFileBackend : public CCaptureBackend {
 public:
  explicit CFileBackend(std::string path) : m_path(std::move(path)) {}
  bool Describe(int index, std::string* name, std::string* version) override;
  std::unique_ptr<CCaptureSource> Open(int index) override;

 private:
  std::string m_path;
};

}  // namespace platform::capture
