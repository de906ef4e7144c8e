#include "platform/capture/FileSource.h"

#include <gtest/gtest.h>
#include <unistd.h>

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

std::vector<uint8_t> ReadFrame(CFileSource& source, CCaptureStopSignal& stop) {
  CaptureSample sample;
  uint32_t dropped = 0;
  EXPECT_EQ(source.Read(&sample, true, stop, &dropped), ReadResult::Sample);
  EXPECT_EQ(sample.kind, CaptureSample::Kind::Video);
  EXPECT_EQ(sample.length, 640u * 480u * 2u);
  return std::vector<uint8_t>(sample.data, sample.data + sample.length);
}

TEST(FileSource, DecodesToYuyv640x480AndLoopsButUnusableFilesDoNotConnect) {
  const fs::path dir = fs::temp_directory_path() / ("vtcap_file_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string clip = (dir / "clip.mp4").string();
  const std::string cmd =
      "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 10 -pix_fmt yuv420p " + clip;
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  CFileBackend backend(clip);
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

  const std::vector<uint8_t>& f = frames[0];
  std::set<uint8_t> lumas, chromas;
  for (size_t i = 0; i < f.size(); i += 4) {
    lumas.insert(f[i]);
    chromas.insert(f[i + 1]);
  }
  EXPECT_GT(lumas.size(), 20u);
  EXPECT_GT(chromas.size(), 5u) << "chroma must sit at odd bytes (Y0 U Y1 V)";
  EXPECT_NE(frames[0], frames[1]) << "the counter moves";
  EXPECT_EQ(frames[3], frames[13]) << "the clip loops after its 10 frames";
  EXPECT_EQ(frames[0], frames[20]);
  source.StopStreaming();

  stop.Raise();
  CaptureSample sample;
  uint32_t dropped = 0;
  EXPECT_EQ(source.Read(&sample, false, stop, &dropped), ReadResult::Stopped);

  std::ofstream((dir / "notes.mp4").string()) << "this is not a video\n";
  EXPECT_EQ(CFileBackend((dir / "notes.mp4").string()).Open(0), nullptr);
  CFileBackend missing((dir / "missing.mp4").string());
  EXPECT_FALSE(missing.Describe(0, &name, &version));
  EXPECT_EQ(missing.Open(0), nullptr);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace platform::capture
