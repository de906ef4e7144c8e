#pragma once
// The V4L2 backend: driver index n is <prefix>n (/dev/video0 .. /dev/video9) when that node
// can capture with streaming I/O. Frames are YUYV, 640x480 unless the device insists on
// another size, read through mmap streaming; 10 frames per second are asked for, as the
// converters are run at that rate.
//
// A device that vanishes or fails mid-run ends the run (logged) and its descriptor is
// closed; the next StartStreaming opens the node again, so a replugged camera comes back
// on a capture restart.
//
// Who may include it: platform/capture and its tests. Threading as in CaptureBackend.h.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture/CaptureBackend.h"
#include "platform/capture/V4L2Helpers.h"

namespace platform::capture {

class CV4L2Source : public CCaptureSource {
 public:
  explicit CV4L2Source(std::string path);
  ~CV4L2Source() override;
  // Opens the node, checks it can capture and sets the format; false (logged) otherwise.
  bool Open();
  int Width() const override { return m_format.width; }
  int Height() const override { return m_format.height; }
  uint32_t MicroSecPerFrame() const override { return m_microSecPerFrame; }
  bool HasAudio() const override { return false; }
  bool StartStreaming() override;
  ReadResult Read(CaptureSample* sample, bool wantAudio, CCaptureStopSignal& stop,
                  uint32_t* dropped) override;
  void StopStreaming() override;

 private:
  bool OpenAndConfigure();
  void CloseDevice();

  std::string m_path;
  int m_fd = -1;
  v4l2::Format m_format;
  uint32_t m_microSecPerFrame = 100000;
  std::vector<v4l2::MappedBuffer> m_buffers;
  bool m_streaming = false;
  int m_heldBuffer = -1;           // dequeued and lent to the callback until the next Read
  std::vector<uint8_t> m_packed;   // used when the device pads its rows
  std::chrono::steady_clock::time_point m_start;
};

class CV4L2Backend : public CCaptureBackend {
 public:
  explicit CV4L2Backend(std::string devicePrefix = "/dev/video") : m_prefix(std::move(devicePrefix)) {}
  bool Describe(int index, std::string* name, std::string* version) override;
  std::unique_ptr<CCaptureSource> Open(int index) override;

 private:
  std::string m_prefix;
};

}  // namespace platform::capture
