#pragma once
// Thin wrappers over the V4L2 ioctls the V4L2 source needs. Each returns false (or -1) on
// failure and puts "<call>: <strerror>" into *error, with errno kept as the call left it.
//
// Who may include it: the V4L2 source and its tests. Any thread; no shared state.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::capture::v4l2 {

struct DeviceInfo {
  std::string card;     // e.g. "Integrated Camera"
  std::string driver;   // e.g. "uvcvideo"
  uint32_t version = 0;  // KERNEL_VERSION-packed
  bool canCapture = false;  // single-planar video capture with streaming I/O
};

struct Format {
  int width = 0;
  int height = 0;
  uint32_t bytesPerLine = 0;
  uint32_t sizeImage = 0;
};

struct MappedBuffer {
  void* start = nullptr;
  size_t length = 0;
};

// Opens a character device read-write and non-blocking; -1 for anything else (a regular
// file, a missing path, a device we may not open).
int OpenDevice(const std::string& path, std::string* error);
void CloseDevice(int fd);

bool QueryDevice(int fd, DeviceInfo* info, std::string* error);
// "<driver> <major>.<minor>.<patch>"
std::string VersionText(const DeviceInfo& info);

// Asks for packed YUYV at the given size; the device may pick another size, but any other
// pixel format is a failure.
bool SetYuyvFormat(int fd, int width, int height, Format* format, std::string* error);

// Asks for `fps` frames per second; returns the interval the device settled on in
// microseconds, or 0 when it does not say (many devices ignore the request).
uint32_t SetFrameRate(int fd, uint32_t fps);

// Requests and maps `count` buffers and queues them all.
bool MapAndQueueBuffers(int fd, uint32_t count, std::vector<MappedBuffer>* buffers, std::string* error);
// Unmaps and releases the device's buffers (errors ignored: the device may be gone).
void UnmapBuffers(int fd, std::vector<MappedBuffer>* buffers);

bool StreamOn(int fd, std::string* error);
void StreamOff(int fd);

bool QueueBuffer(int fd, uint32_t index, std::string* error);
// 1: *index and *bytesUsed set; 0: no buffer ready yet; -1: failure (device gone ...).
int DequeueBuffer(int fd, uint32_t* index, uint32_t* bytesUsed, std::string* error);

}  // namespace platform::capture::v4l2
