#include "platform/capture/V4L2Source.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

#include "infra/Logger.h"

namespace platform::capture {

namespace {
constexpr uint32_t kBufferCount = 4;
}

CV4L2Source::CV4L2Source(std::string path) : m_path(std::move(path)) {}

CV4L2Source::~CV4L2Source() {
  StopStreaming();
  CloseDevice();
}

bool CV4L2Source::Open() { return OpenAndConfigure(); }

bool CV4L2Source::OpenAndConfigure() {
  std::string error;
  m_fd = v4l2::OpenDevice(m_path, &error);
  if (m_fd < 0) {
    Log("CV4L2Source::Open %s: %s\n", m_path.c_str(), error.c_str());
    return false;
  }
  v4l2::DeviceInfo info;
  if (!v4l2::QueryDevice(m_fd, &info, &error)) {
    Log("CV4L2Source::Open %s: %s\n", m_path.c_str(), error.c_str());
    CloseDevice();
    return false;
  }
  if (!info.canCapture) {
    Log("CV4L2Source::Open %s: not a streaming capture device\n", m_path.c_str());
    CloseDevice();
    return false;
  }
  v4l2::Format format;
  if (!v4l2::SetYuyvFormat(m_fd, kFrameWidth, kFrameHeight, &format, &error)) {
    Log("CV4L2Source::Open %s: %s\n", m_path.c_str(), error.c_str());
    CloseDevice();
    return false;
  }
  if (m_format.width != 0 && (format.width != m_format.width || format.height != m_format.height)) {
    // The logic sized its images from the first status; a different size now would
    // overrun them.
    Log("CV4L2Source::Open %s: size changed to %dx%d\n", m_path.c_str(), format.width, format.height);
    CloseDevice();
    return false;
  }
  m_format = format;
  if (uint32_t interval = v4l2::SetFrameRate(m_fd, 10); interval != 0) m_microSecPerFrame = interval;
  return true;
}

void CV4L2Source::CloseDevice() {
  v4l2::CloseDevice(m_fd);
  m_fd = -1;
}

bool CV4L2Source::StartStreaming() {
  if (m_fd < 0 && !OpenAndConfigure()) return false;
  std::string error;
  if (!v4l2::MapAndQueueBuffers(m_fd, kBufferCount, &m_buffers, &error) || !v4l2::StreamOn(m_fd, &error)) {
    Log("CV4L2Source::StartStreaming %s: %s\n", m_path.c_str(), error.c_str());
    v4l2::UnmapBuffers(m_fd, &m_buffers);
    CloseDevice();
    return false;
  }
  m_streaming = true;
  m_heldBuffer = -1;
  m_start = std::chrono::steady_clock::now();
  return true;
}

void CV4L2Source::StopStreaming() {
  if (m_fd < 0) return;
  if (m_streaming) v4l2::StreamOff(m_fd);
  m_streaming = false;
  m_heldBuffer = -1;
  if (!m_buffers.empty()) v4l2::UnmapBuffers(m_fd, &m_buffers);
}

ReadResult CV4L2Source::Read(CaptureSample* sample, bool /*wantAudio*/, CCaptureStopSignal& stop,
                             uint32_t* dropped) {
  std::string error;
  auto fail = [&](const char* what) {
    Log("CV4L2Source::Read %s: %s, capture ends\n", m_path.c_str(), what);
    StopStreaming();
    CloseDevice();
    return ReadResult::Failed;
  };
  if (m_heldBuffer >= 0) {
    uint32_t held = static_cast<uint32_t>(m_heldBuffer);
    m_heldBuffer = -1;
    if (!v4l2::QueueBuffer(m_fd, held, &error)) return fail(error.c_str());
  }
  const uint32_t packedRow = static_cast<uint32_t>(m_format.width) * 2;
  const uint32_t frameBytes = packedRow * static_cast<uint32_t>(m_format.height);
  for (;;) {
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
    int rc = poll(fds, 2, 1000);
    if (stop.IsRaised()) return ReadResult::Stopped;
    if (rc < 0) {
      if (errno == EINTR) continue;
      return fail(std::strerror(errno));
    }
    if (rc == 0) continue;  // a slow camera; the program's own watchdog decides
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return fail("device error or removed");
    uint32_t index = 0;
    uint32_t used = 0;
    int got = v4l2::DequeueBuffer(m_fd, &index, &used, &error);
    if (got < 0) return fail(error.c_str());
    if (got == 0) continue;
    if (index >= m_buffers.size()) return fail("driver returned an unknown buffer");
    const uint32_t needed = m_format.bytesPerLine * static_cast<uint32_t>(m_format.height - 1) + packedRow;
    if (used < needed || m_buffers[index].length < needed) {
      // A short or flagged frame would be read past its end by the converters: skip it.
      ++*dropped;
      if (!v4l2::QueueBuffer(m_fd, index, &error)) return fail(error.c_str());
      continue;
    }
    uint8_t* data = static_cast<uint8_t*>(m_buffers[index].start);
    if (m_format.bytesPerLine != packedRow) {
      m_packed.resize(frameBytes);
      for (int row = 0; row < m_format.height; ++row) {
        std::memcpy(m_packed.data() + static_cast<size_t>(row) * packedRow,
                    data + static_cast<size_t>(row) * m_format.bytesPerLine, packedRow);
      }
      data = m_packed.data();
    }
    m_heldBuffer = static_cast<int>(index);
    sample->kind = CaptureSample::Kind::Video;
    sample->data = data;
    sample->length = frameBytes;
    sample->timeMs = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start).count());
    return ReadResult::Sample;
  }
}

bool CV4L2Backend::Describe(int index, std::string* name, std::string* version) {
  if (index < 0 || index >= kMaxDrivers) return false;
  std::string error;
  int fd = v4l2::OpenDevice(m_prefix + std::to_string(index), &error);
  if (fd < 0) return false;
  v4l2::DeviceInfo info;
  bool ok = v4l2::QueryDevice(fd, &info, &error) && info.canCapture;
  v4l2::CloseDevice(fd);
  if (!ok) return false;
  *name = info.card;
  *version = v4l2::VersionText(info);
  return true;
}

std::unique_ptr<CCaptureSource> CV4L2Backend::Open(int index) {
  if (index < 0 || index >= kMaxDrivers) return nullptr;
  auto source = std::make_unique<CV4L2Source>(m_prefix + std::to_string(index));
  if (!source->Open()) return nullptr;
  return source;
}

}  // namespace platform::capture
