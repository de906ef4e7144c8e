#include "platform/capture/V4L2Source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/capture/V4L2Helpers.h"

namespace platform::capture {
namespace {

namespace fs = std::filesystem;

TEST(V4L2Source, WhatIsNotACaptureDeviceIsNoDriver) {
  fs::path dir = fs::temp_directory_path() / ("vtcap_v4l2_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream((dir / "video0").string()) << "plain file";
  fs::create_directory(dir / "video1");
  fs::create_symlink("/dev/null", dir / "video2");  // a character device, but not V4L2
  CV4L2Backend backend((dir / "video").string());
  std::string text;
  for (int i = -1; i <= 10; ++i) EXPECT_FALSE(backend.Describe(i, &text, &text)) << i;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(backend.Open(i), nullptr) << i;
  fs::remove_all(dir);

  EXPECT_EQ(v4l2::OpenDevice("/proc/self/status", &text), -1);
  EXPECT_EQ(v4l2::OpenDevice("/nonexistent/video0", &text), -1);
  const int fd = v4l2::OpenDevice("/dev/null", &text);
  ASSERT_GE(fd, 0) << text;
  v4l2::DeviceInfo info;
  EXPECT_FALSE(v4l2::QueryDevice(fd, &info, &text));
  EXPECT_EQ(text.rfind("VIDIOC_QUERYCAP: ", 0), 0u) << text;
  v4l2::CloseDevice(fd);

  CV4L2Source source("/dev/null");
  EXPECT_FALSE(source.Open());
  EXPECT_FALSE(source.StartStreaming()) << "a start retries the open, which fails again";
  source.StopStreaming();  // harmless without a device
}

}  // namespace
}  // namespace platform::capture
