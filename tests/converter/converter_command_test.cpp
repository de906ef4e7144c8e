// The converter's command line, fed with the lines the stream convertors and the snapshot
// build (split the way the process runner splits them), and with lines that must fail.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "converter/ConverterCommand.h"
#include "platform/Process.h"

using converter::ConverterCommand;
using converter::OutputMode;
using converter::ParseConverterCommand;
using converter::SampleFormat;

namespace {

// The folder has a blank in it: the quoting of the lines must keep each path whole.
const char* const kDir = "/opt/vt cam/";

std::vector<std::string> ArgsOf(const std::string& line) {
  std::vector<std::string> argv = platform::SplitCommandLine(line);
  argv.erase(argv.begin());  // the program itself
  return argv;
}

template <typename... T>
std::string Format(const char* format, T... values) {
  char line[1024];
  snprintf(line, sizeof(line), format, values...);
  return line;
}

ConverterCommand MustParse(const std::string& line) {
  ConverterCommand command;
  std::string error;
  EXPECT_TRUE(ParseConverterCommand(ArgsOf(line), &command, &error)) << line << "\n" << error;
  return command;
}

TEST(ConverterCommandTest, FlvLinesWithAndWithoutAudio) {
  ConverterCommand flv = MustParse(Format(
      "\"%sffmpeg\" -y -r %d -s %s -pix_fmt yuyv422 -i \"%sseed.yuv\" \"%stemp.flv\" -lss lss://127.0.0.1:%d",
      kDir, 10, "640x480", kDir, kDir, 5123));
  EXPECT_EQ(flv.mode, OutputMode::LiveFlv);
  EXPECT_TRUE(flv.overwrite);
  ASSERT_TRUE(flv.video.has_value());
  EXPECT_EQ(flv.video->path, "/opt/vt cam/seed.yuv");
  EXPECT_EQ(flv.video->width, 640);
  EXPECT_EQ(flv.video->height, 480);
  EXPECT_EQ(flv.video->frameRate, 10);
  EXPECT_FALSE(flv.audio.has_value());
  EXPECT_EQ(flv.outWidth, 0);
  EXPECT_EQ(flv.outputPath, "/opt/vt cam/temp.flv");
  EXPECT_EQ(flv.host, "127.0.0.1");
  EXPECT_EQ(flv.port, 5123);

  ConverterCommand withAudio = MustParse(Format(
      "\"%sffmpeg\" -y -r %d -s %s -pix_fmt yuyv422 -i \"%sseed.yuv\" -ar 11025 -f u8 -ac 1 -i "
      "\"%sseed.s16le\" -acodec libfaac -ar 44100 \"%stemp.flv\" -lss lss://127.0.0.1:%d",
      kDir, 10, "qcif", kDir, kDir, kDir, 65535));
  EXPECT_EQ(withAudio.mode, OutputMode::LiveFlv);
  EXPECT_EQ(withAudio.video->width, 176);
  EXPECT_EQ(withAudio.video->height, 144);
  ASSERT_TRUE(withAudio.audio.has_value());
  EXPECT_EQ(withAudio.audio->sampleRate, 11025);
  EXPECT_EQ(withAudio.audio->channels, 1);
  EXPECT_EQ(withAudio.audio->format, SampleFormat::U8);
  EXPECT_EQ(withAudio.outSampleRate, 44100);
  EXPECT_EQ(withAudio.outChannels, 0);
  EXPECT_EQ(withAudio.port, 65535);
}

TEST(ConverterCommandTest, AacOnlyLine) {
  ConverterCommand aac = MustParse(Format(
      "\"%sffmpeg\" -y -ar 11025 -f u8 -ac 1 -i \"%shh.s16le\" -acodec libfaac -ar 44100 -ac 2 temp.aac "
      "-lss lss://127.0.0.1:%d",
      kDir, kDir, 7000));
  EXPECT_EQ(aac.mode, OutputMode::LiveFlv);
  EXPECT_FALSE(aac.video.has_value());
  ASSERT_TRUE(aac.audio.has_value());
  EXPECT_EQ(aac.outSampleRate, 44100);
  EXPECT_EQ(aac.outChannels, 2);
  EXPECT_EQ(aac.outputPath, "temp.aac");
}

TEST(ConverterCommandTest, ThreeGpLinesScaleToCif) {
  ConverterCommand video = MustParse(Format(
      "\"%sffmpeg\" -y -r %d -s %s -pix_fmt yuyv422 -i \"%sseed.yuv\" -s cif \"%stemp.3gp\" -lss sls://127.0.0.1:%d",
      kDir, 10, "160x120", kDir, kDir, 6000));
  EXPECT_EQ(video.mode, OutputMode::PacketStream);
  EXPECT_EQ(video.video->width, 160);
  EXPECT_EQ(video.video->height, 120);
  EXPECT_EQ(video.outWidth, 352);
  EXPECT_EQ(video.outHeight, 288);
  EXPECT_FALSE(video.audio.has_value());

  ConverterCommand withAudio = MustParse(Format(
      "\"%sffmpeg\" -y -r %d -s %s -pix_fmt yuyv422 -i \"%sseed.yuv\" -ar 11025 -f u8 -ac 1 -i \"%sseed.s16le\" "
      "-acodec libfaac -ar 44100 -s cif \"%stemp.3gp\" -lss sls://127.0.0.1:%d",
      kDir, 10, "640x480", kDir, kDir, kDir, 6001));
  EXPECT_EQ(withAudio.mode, OutputMode::PacketStream);
  EXPECT_EQ(withAudio.outWidth, 352);
  EXPECT_TRUE(withAudio.audio.has_value());
  EXPECT_EQ(withAudio.outSampleRate, 44100);
}

TEST(ConverterCommandTest, SnapshotLinesWithAndWithoutOutputSize) {
  const char* format = "\"%sffmpeg\" -y -s %s -pix_fmt yuyv422 -i \"%s\" %s \"%s\"";
  ConverterCommand plain = MustParse(Format(format, kDir, "640x480", "/tmp/vts1A2B.tmp.yuv", "",
                                            "/tmp/vts1A2B.tmp.yuv.jpg"));
  EXPECT_EQ(plain.mode, OutputMode::Snapshot);
  EXPECT_EQ(plain.video->path, "/tmp/vts1A2B.tmp.yuv");
  EXPECT_EQ(plain.outputPath, "/tmp/vts1A2B.tmp.yuv.jpg");
  EXPECT_EQ(plain.outWidth, 0);

  ConverterCommand small = MustParse(Format(format, kDir, "640x480", "/tmp/a.yuv", "-s qcif", "/tmp/a.yuv.jpg"));
  EXPECT_EQ(small.mode, OutputMode::Snapshot);
  EXPECT_EQ(small.outWidth, 176);
  EXPECT_EQ(small.outHeight, 144);
}

TEST(ConverterCommandTest, RejectedLines) {
  const char* const lines[] = {
      "x",                                                                        // nothing at all
      "x -y -s 640x480 -i in.yuv",                                                // no output
      "x out.jpg -s 640x480 -i in.yuv",                                           // output before input
      "x -s 640x480 -i in.yuv a.jpg b.jpg",                                       // two outputs
      "x -s 641x480 -i in.yuv a.jpg",                                             // odd width
      "x -s big -i in.yuv a.jpg",                                                 // unknown size name
      "x -s 0x480 -i in.yuv a.jpg",                                               // empty side
      "x -s 640x480 -pix_fmt rgb24 -i in.yuv a.jpg",                              // other pixel format
      "x -i in.yuv a.jpg",                                                        // video without size
      "x -s 640x480 -i in.yuv -vf x a.jpg",                                       // unknown option
      "x -s 640x480 -i",                                                          // option without value
      "x -r 0 -s 640x480 -i in.yuv a.flv -lss lss://127.0.0.1:5000",              // no frame rate
      "x -s 640x480 -i in.yuv a.flv -lss rtmp://127.0.0.1:5000",                  // other scheme
      "x -s 640x480 -i in.yuv a.flv -lss lss://127.0.0.1:0",                      // port 0
      "x -s 640x480 -i in.yuv a.flv -lss lss://127.0.0.1:65536",                  // port too large
      "x -s 640x480 -i in.yuv a.flv -lss lss://localhost:5000",                   // host by name
      "x -s 640x480 -i in.yuv a.flv -lss lss://127.0.0.1",                        // no port
      "x -s 640x480 -i in.yuv -s qcif -i b.yuv a.flv -lss lss://127.0.0.1:5000",  // two video inputs
      "x -ar 11025 -f u8 -i a.raw -acodec mp3 a.flv -lss lss://127.0.0.1:5000",   // other audio codec
      "x -f u8 -i a.raw a.flv -lss lss://127.0.0.1:5000",                         // audio without rate
      "x -ar 11025 -f u8 -i a.raw a.3gp -lss sls://127.0.0.1:5000",               // sls without video
      "x -ar 11025 -f u8 -i a.raw a.jpg",                                         // snapshot of audio
      "x -s 640x480 -i in.yuv -ar 44100 a.flv -lss lss://127.0.0.1:5000",         // audio out, no audio in
      "x -r 10 -s 640x480 -i in.yuv -r 25 a.flv -lss lss://127.0.0.1:5000",       // frame rate change
  };
  for (const char* line : lines) {
    ConverterCommand command;
    std::string error;
    EXPECT_FALSE(ParseConverterCommand(ArgsOf(line), &command, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

TEST(ConverterCommandTest, FrameSizes) {
  struct Row {
    const char* text;
    bool ok;
    int width;
    int height;
  } const rows[] = {
      {"112x84", true, 112, 84},   {"160x120", true, 160, 120}, {"qcif", true, 176, 144},
      {"cif", true, 352, 288},     {"640x480", true, 640, 480}, {"4096x4096", true, 4096, 4096},
      {"4098x2", false, 0, 0},     {"640x", false, 0, 0},       {"x480", false, 0, 0},
      {"640x480x2", false, 0, 0},  {"-640x480", false, 0, 0},   {"", false, 0, 0},
      {"QCIF", false, 0, 0},
  };
  for (const Row& row : rows) {
    int w = 0;
    int h = 0;
    EXPECT_EQ(converter::ParseFrameSize(row.text, &w, &h), row.ok) << row.text;
    if (row.ok) {
      EXPECT_EQ(w, row.width) << row.text;
      EXPECT_EQ(h, row.height) << row.text;
    }
  }
}

}  // namespace
