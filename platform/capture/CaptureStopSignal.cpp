#include "platform/capture/CaptureStopSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform::capture {

CCaptureStopSignal::CCaptureStopSignal() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CCaptureStopSignal::~CCaptureStopSignal() {
  if (m_fd >= 0) close(m_fd);
}

void CCaptureStopSignal::Raise() {
  m_raised.store(true, std::memory_order_release);
  uint64_t one = 1;
  if (m_fd >= 0) {
    ssize_t written = write(m_fd, &one, sizeof one);
    (void)written;  // a full counter is still readable, which is all a waiter needs
  }
}

void CCaptureStopSignal::Clear() {
  m_raised.store(false, std::memory_order_release);
  uint64_t value = 0;
  if (m_fd >= 0) {
    ssize_t got = read(m_fd, &value, sizeof value);
    (void)got;  // EAGAIN when it was not raised
  }
}

bool CCaptureStopSignal::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  using namespace std::chrono;
  while (!IsRaised()) {
    auto now = steady_clock::now();
    if (now >= deadline) return true;
    auto left = duration_cast<milliseconds>(deadline - now).count() + 1;
    pollfd pfd{m_fd, POLLIN, 0};
    int rc = poll(&pfd, m_fd >= 0 ? 1 : 0, static_cast<int>(left > 1000 ? 1000 : left));
    if (rc < 0 && errno != EINTR) return !IsRaised();
  }
  return false;
}

}  // namespace platform::capture
