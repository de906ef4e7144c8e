#pragma once
// The backend interface behind the capture service: a backend enumerates drivers and opens
// sources; a source delivers video frames and audio blocks to the capture thread.
//
// Who may include it: platform/capture and its tests; the logic above sees only
// CaptureService.h. Threads: a backend is used on the thread that calls the service;
// an opened source is handed to its capture thread, which alone calls StartStreaming,
// Read and StopStreaming, one run at a time; the other getters may be called from any
// thread (their values do not change after Open).
#include <cstdint>
#include <memory>
#include <string>

#include "platform/capture/CaptureStopSignal.h"

namespace platform::capture {

inline constexpr int kMaxDrivers = 10;
inline constexpr int kFrameWidth = 640;
inline constexpr int kFrameHeight = 480;
inline constexpr int kAudioSampleRate = 11025;

struct CaptureSample {
  enum class Kind { Video, Audio } kind = Kind::Video;
  uint8_t* data = nullptr;  // owned by the source, valid until the next Read
  uint32_t length = 0;
  uint32_t timeMs = 0;      // since StartStreaming
};

enum class ReadResult {
  Sample,   // *sample is filled
  Stopped,  // the stop signal was raised
  Failed,   // the source cannot go on (device gone, file unreadable); already logged
};

class CCaptureSource {
 public:
  virtual ~CCaptureSource() = default;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  virtual uint32_t MicroSecPerFrame() const = 0;
  virtual bool HasAudio() const = 0;

  // Prepares a run; false (logged) when the source cannot stream now.
  virtual bool StartStreaming() = 0;
  // Waits for the next frame or block, or for the stop signal. `wantAudio` false means
  // audio blocks are not produced. `dropped` grows by the frames skipped to keep pace.
  virtual ReadResult Read(CaptureSample* sample, bool wantAudio, CCaptureStopSignal& stop,
                          uint32_t* dropped) = 0;
  // Ends the run; safe after a failed or partial StartStreaming.
  virtual void StopStreaming() = 0;
};

class CCaptureBackend {
 public:
  virtual ~CCaptureBackend() = default;
  // Driver description for index 0..kMaxDrivers-1; false when there is none.
  virtual bool Describe(int index, std::string* name, std::string* version) = 0;
  // Opens the driver; null (logged) on failure.
  virtual std::unique_ptr<CCaptureSource> Open(int index) = 0;
};

}  // namespace platform::capture
