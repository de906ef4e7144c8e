#include "platform/capture/V4L2Helpers.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::capture::v4l2 {
namespace {

int Ioctl(int fd, unsigned long request, void* arg) {
  int rc;
  do {
    rc = ioctl(fd, request, arg);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

bool Fail(const char* call, std::string* error) {
  int saved = errno;
  *error = std::string(call) + ": " + std::strerror(saved);
  errno = saved;
  return false;
}

std::string FixedText(const uint8_t* text, size_t size) {
  size_t length = strnlen(reinterpret_cast<const char*>(text), size);
  return std::string(reinterpret_cast<const char*>(text), length);
}

}  // namespace

int OpenDevice(const std::string& path, std::string* error) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) {
    Fail("stat", error);
    return -1;
  }
  if (!S_ISCHR(st.st_mode)) {
    errno = ENODEV;
    *error = "not a character device";
    return -1;
  }
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) Fail("open", error);
  return fd;
}

void CloseDevice(int fd) {
  if (fd >= 0) close(fd);
}

bool QueryDevice(int fd, DeviceInfo* info, std::string* error) {
  v4l2_capability cap{};
  if (Ioctl(fd, VIDIOC_QUERYCAP, &cap) < 0) return Fail("VIDIOC_QUERYCAP", error);
  info->card = FixedText(cap.card, sizeof cap.card);
  info->driver = FixedText(cap.driver, sizeof cap.driver);
  info->version = cap.version;
  uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  info->canCapture = (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
  return true;
}

std::string VersionText(const DeviceInfo& info) {
  return info.driver + " " + std::to_string((info.version >> 16) & 0xFF) + "." +
         std::to_string((info.version >> 8) & 0xFF) + "." + std::to_string(info.version & 0xFF);
}

bool SetYuyvFormat(int fd, int width, int height, Format* format, std::string* error) {
  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  fmt.fmt.pix.width = static_cast<uint32_t>(width);
  fmt.fmt.pix.height = static_cast<uint32_t>(height);
  fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
  fmt.fmt.pix.field = V4L2_FIELD_NONE;
  if (Ioctl(fd, VIDIOC_S_FMT, &fmt) < 0) return Fail("VIDIOC_S_FMT", error);
  if (fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV) {
    *error = "device does not offer YUYV";
    return false;
  }
  if (fmt.fmt.pix.width < 2 || fmt.fmt.pix.height < 1 || fmt.fmt.pix.width > 8192 || fmt.fmt.pix.height > 8192 ||
      fmt.fmt.pix.bytesperline < fmt.fmt.pix.width * 2) {
    *error = "device chose an unusable frame size";
    return false;
  }
  format->width = static_cast<int>(fmt.fmt.pix.width);
  format->height = static_cast<int>(fmt.fmt.pix.height);
  format->bytesPerLine = fmt.fmt.pix.bytesperline;
  format->sizeImage = fmt.fmt.pix.sizeimage;
  return true;
}

uint32_t SetFrameRate(int fd, uint32_t fps) {
  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (Ioctl(fd, VIDIOC_G_PARM, &parm) < 0) return 0;
  if (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) {
    parm.parm.capture.timeperframe.numerator = 1;
    parm.parm.capture.timeperframe.denominator = fps;
    if (Ioctl(fd, VIDIOC_S_PARM, &parm) < 0) return 0;
  }
  const v4l2_fract& t = parm.parm.capture.timeperframe;
  if (t.numerator == 0 || t.denominator == 0) return 0;
  return static_cast<uint32_t>(1000000ull * t.numerator / t.denominator);
}

bool MapAndQueueBuffers(int fd, uint32_t count, std::vector<MappedBuffer>* buffers, std::string* error) {
  v4l2_requestbuffers req{};
  req.count = count;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (Ioctl(fd, VIDIOC_REQBUFS, &req) < 0) return Fail("VIDIOC_REQBUFS", error);
  if (req.count < 2) {
    *error = "device granted fewer than 2 buffers";
    UnmapBuffers(fd, buffers);
    return false;
  }
  for (uint32_t i = 0; i < req.count; ++i) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = i;
    if (Ioctl(fd, VIDIOC_QUERYBUF, &buf) < 0) {
      Fail("VIDIOC_QUERYBUF", error);
      UnmapBuffers(fd, buffers);
      return false;
    }
    void* start = mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buf.m.offset);
    if (start == MAP_FAILED) {
      Fail("mmap", error);
      UnmapBuffers(fd, buffers);
      return false;
    }
    buffers->push_back({start, buf.length});
  }
  for (uint32_t i = 0; i < buffers->size(); ++i) {
    if (!QueueBuffer(fd, i, error)) {
      UnmapBuffers(fd, buffers);
      return false;
    }
  }
  return true;
}

void UnmapBuffers(int fd, std::vector<MappedBuffer>* buffers) {
  for (const MappedBuffer& b : *buffers) munmap(b.start, b.length);
  buffers->clear();
  v4l2_requestbuffers req{};
  req.count = 0;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  Ioctl(fd, VIDIOC_REQBUFS, &req);
}

bool StreamOn(int fd, std::string* error) {
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (Ioctl(fd, VIDIOC_STREAMON, &type) < 0) return Fail("VIDIOC_STREAMON", error);
  return true;
}

void StreamOff(int fd) {
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  Ioctl(fd, VIDIOC_STREAMOFF, &type);
}

bool QueueBuffer(int fd, uint32_t index, std::string* error) {
  v4l2_buffer buf{};
  buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buf.memory = V4L2_MEMORY_MMAP;
  buf.index = index;
  if (Ioctl(fd, VIDIOC_QBUF, &buf) < 0) return Fail("VIDIOC_QBUF", error);
  return true;
}

int DequeueBuffer(int fd, uint32_t* index, uint32_t* bytesUsed, std::string* error) {
  v4l2_buffer buf{};
  buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buf.memory = V4L2_MEMORY_MMAP;
  if (Ioctl(fd, VIDIOC_DQBUF, &buf) < 0) {
    if (errno == EAGAIN) return 0;
    Fail("VIDIOC_DQBUF", error);
    return -1;
  }
  *index = buf.index;
  *bytesUsed = (buf.flags & V4L2_BUF_FLAG_ERROR) ? 0 : buf.bytesused;
  return 1;
}

}  // namespace platform::capture::v4l2
