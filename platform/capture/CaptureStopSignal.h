#pragma once
// The stop request of one capture thread: raised by the stopping thread, waited on by the
// source, either as a deadline wait or as a descriptor in the source's own poll set.
//
// Who may include it: platform/capture. Raise/Clear/IsRaised from any thread; the waits
// from the capture thread.
#include <atomic>
#include <chrono>

namespace platform::capture {

class CCaptureStopSignal {
 public:
  CCaptureStopSignal();
  ~CCaptureStopSignal();
  CCaptureStopSignal(const CCaptureStopSignal&) = delete;
  CCaptureStopSignal& operator=(const CCaptureStopSignal&) = delete;

  bool IsValid() const { return m_fd >= 0; }
  void Raise();
  void Clear();
  bool IsRaised() const { return m_raised.load(std::memory_order_acquire); }
  // Readable while raised; for poll() next to a device descriptor.
  int Fd() const { return m_fd; }
  // Waits until the deadline; false when the signal was raised first.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);

 private:
  int m_fd = -1;
  std::atomic<bool> m_raised{false};
};

}  // namespace platform::capture
