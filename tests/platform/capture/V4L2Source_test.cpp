#include "platform/capture/V4L2Source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace platform::capture {
namespace {

namespace fs = std::filesystem;

TEST(V4L2Source, WhatIsNotACaptureDeviceIsNoDriver) {
  fs::path dir = fs::temp_directory_path() / ("vtcap_v4l2_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream((dir / "video0").string()) << "plain file";
  fs::create_directory(dir / "video1");
  fs::create_symlink("/dev/null", dir / "video2");  // a character device, but not V4L2: its query fails
  CV4L2Backend backend((dir / "video").string());
  std::string text;
  for (int i = -1; i <= 10; ++i) EXPECT_FALSE(backend.Describe(i, &text, &text)) << i;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(backend.Open(i), nullptr) << i;
  fs::remove_all(dir);

  CV4L2Source source("/dev/null");
  EXPECT_FALSE(source.Open());
  EXPECT_FALSE(source.StartStreaming()) << "a start retries the open, which fails again";
  source.StopStreaming();  // harmless without a device
}

}  // namespace
}  // namespace platform::capture
