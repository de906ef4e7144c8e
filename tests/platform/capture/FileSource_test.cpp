#include "platform/capture/FileSource.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/capture/CaptureService.h"

namespace platform::capture {
namespace {

namespace fs = std::filesystem;

// A 10-frame clip at 25 fps made by the ffmpeg program, once for all tests here.
class FileSourceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = fs::temp_directory_path() / ("vtcap_file_" + std::to_string(getpid()));
    fs::create_directories(s_dir);
    s_clip = (s_dir / "clip.mp4").string();
    std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 10 -pix_fmt yuv420p '" +
                      s_clip + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  static void TearDownTestSuite() { fs::remove_all(s_dir); }

  static std::vector<uint8_t> ReadFrame(CFileSource& source, CCaptureStopSignal& stop) {
    CaptureSample sample;
    uint32_t dropped = 0;
    EXPECT_EQ(source.Read(&sample, true, stop, &dropped), ReadResult::Sample);
    EXPECT_EQ(sample.kind, CaptureSample::Kind::Video);
    EXPECT_EQ(sample.length, 640u * 480u * 2u);
    return std::vector<uint8_t>(sample.data, sample.data + sample.length);
  }

  static fs::path s_dir;
  static std::string s_clip;
};
fs::path FileSourceTest::s_dir;
std::string FileSourceTest::s_clip;

TEST_F(FileSourceTest, DecodesToYuyv640x480AndLoops) {
  CFileBackend backend(s_clip);
  std::string name, version;
  ASSERT_TRUE(backend.Describe(0, &name, &version));
  EXPECT_EQ(name, "File clip.mp4");
  EXPECT_EQ(version.rfind("libavformat ", 0), 0u) << version;
  EXPECT_FALSE(backend.Describe(1, &name, &version));

  std::unique_ptr<CCaptureSource> opened = backend.Open(0);
  ASSERT_NE(opened, nullptr);
  auto& source = static_cast<CFileSource&>(*opened);
  EXPECT_EQ(source.MicroSecPerFrame(), 40000u) << "the clip's own rate";
  EXPECT_FALSE(source.HasAudio());
  CCaptureStopSignal stop;
  ASSERT_TRUE(source.StartStreaming());
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < 21; ++i) frames.push_back(ReadFrame(source, stop));

  // testsrc draws colour bars and a frame counter: a real picture, not a flat fill.
  const std::vector<uint8_t>& f = frames[0];
  std::set<uint8_t> lumas, chromas;
  for (size_t i = 0; i < f.size(); i += 4) {
    lumas.insert(f[i]);
    chromas.insert(f[i + 1]);
  }
  EXPECT_GT(lumas.size(), 20u);
  EXPECT_GT(chromas.size(), 5u) << "chroma must sit at odd bytes (Y0 U Y1 V)";
  EXPECT_NE(frames[0], frames[1]) << "the counter moves";
  EXPECT_EQ(frames[0], frames[10]) << "the clip loops after its 10 frames";
  EXPECT_EQ(frames[3], frames[13]);
  EXPECT_EQ(frames[0], frames[20]);
  source.StopStreaming();

  stop.Raise();
  CaptureSample sample;
  uint32_t dropped = 0;
  EXPECT_EQ(source.Read(&sample, false, stop, &dropped), ReadResult::Stopped);
}

TEST_F(FileSourceTest, UnusableFilesDoNotConnect) {
  std::string text = (s_dir / "notes.mp4").string();
  std::ofstream(text) << "this is not a video\n";
  CFileBackend bad(text);
  EXPECT_EQ(bad.Open(0), nullptr);
  CFileBackend missing((s_dir / "missing.mp4").string());
  std::string name, version;
  EXPECT_FALSE(missing.Describe(0, &name, &version));
  EXPECT_EQ(missing.Open(0), nullptr);
}

TEST_F(FileSourceTest, ServesThroughTheCaptureService) {
  setenv("VTCAM_CAPTURE", ("file:" + s_clip).c_str(), 1);
  CapHandle h = CapCreateCaptureWindow(0, 0, 640, 480, 100);
  ASSERT_TRUE(CapDriverConnect(h, 0));
  CAPSTATUS status{};
  ASSERT_TRUE(CapGetStatus(h, &status, sizeof status));
  EXPECT_EQ(status.uiImageWidth, 640u);
  EXPECT_EQ(status.uiImageHeight, 480u);
  EXPECT_EQ(status.fAudioHardware, 0);
  static std::atomic<int> frames{0};
  CapSetCallbackOnVideoStream(h, [](CapHandle, VIDEOHDR* hdr) {
    if (hdr->dwBufferLength == 640u * 480u * 2u) ++frames;
    return 1;
  });
  ASSERT_TRUE(CapCaptureSequenceNoFile(h));
  for (int i = 0; i < 500 && frames.load() < 5; ++i) usleep(10000);
  EXPECT_TRUE(CapCaptureStop(h));
  EXPECT_GE(frames.load(), 5);
  CapDestroyWindow(h);

  setenv("VTCAM_CAPTURE", ("file:" + (s_dir / "missing.mp4").string()).c_str(), 1);
  char name[260], version[260];
  EXPECT_FALSE(CapGetDriverDescription(0, name, sizeof name, version, sizeof version));
  unsetenv("VTCAM_CAPTURE");
}

}  // namespace
}  // namespace platform::capture
