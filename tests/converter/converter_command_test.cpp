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


std::vector<std::string> ArgsOf(const std::string& line) {
  std::vector<std::string> argv = platform::SplitCommandLine(line);
  argv.erase(argv.begin());  // the program itself
  return argv;
}

#define DIR "/opt/vt cam/"
#define VIDEO_IN "\"" DIR "ffmpeg\" -y -r 10 -s %s -pix_fmt yuyv422 -i \"" DIR "seed.yuv\" "
#define AUDIO_IN "-ar 11025 -f u8 -ac 1 -i \"" DIR "seed.s16le\" -acodec libfaac -ar 44100 "

struct GoodLine {
  const char* format;  // %s: the input size
  const char* size;
  OutputMode mode;
  int width, height, outWidth, outHeight;
  bool audio;
  int outSampleRate, outChannels;
  const char* input;
  const char* output;
};

class ConverterCommandLines : public ::testing::TestWithParam<GoodLine> {};

TEST_P(ConverterCommandLines, ParseToTheirParts) {
  const GoodLine& g = GetParam();
  char line[1024];
  snprintf(line, sizeof(line), g.format, g.size);
  ConverterCommand c;
  std::string error;
  ASSERT_TRUE(ParseConverterCommand(ArgsOf(line), &c, &error)) << line << "\n" << error;
  EXPECT_EQ(c.mode, g.mode);
  EXPECT_TRUE(c.overwrite);
  EXPECT_EQ(c.video.has_value(), g.width != 0);
  if (c.video) {
    EXPECT_EQ(c.video->path, g.input);
    EXPECT_EQ(c.video->width, g.width);
    EXPECT_EQ(c.video->height, g.height);
  }
  EXPECT_EQ(c.outWidth, g.outWidth);
  EXPECT_EQ(c.outHeight, g.outHeight);
  ASSERT_EQ(c.audio.has_value(), g.audio);
  if (g.audio) {
    EXPECT_EQ(c.audio->sampleRate, 11025);
    EXPECT_EQ(c.audio->channels, 1);
    EXPECT_EQ(c.audio->format, SampleFormat::U8);
  }
  EXPECT_EQ(c.outSampleRate, g.outSampleRate);
  EXPECT_EQ(c.outChannels, g.outChannels);
  EXPECT_EQ(c.outputPath, g.output);
  if (g.mode != OutputMode::Snapshot) {
    EXPECT_EQ(c.host, "127.0.0.1");
    EXPECT_EQ(c.port, 65535);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Convertors, ConverterCommandLines,
    ::testing::Values(
        GoodLine{VIDEO_IN "\"" DIR "temp.flv\" -lss lss://127.0.0.1:65535", "640x480", OutputMode::LiveFlv, 640, 480, 0,
                 0, false, 0, 0, DIR "seed.yuv", DIR "temp.flv"},
        GoodLine{VIDEO_IN AUDIO_IN "\"" DIR "temp.flv\" -lss lss://127.0.0.1:65535", "qcif", OutputMode::LiveFlv, 176,
                 144, 0, 0, true, 44100, 0, DIR "seed.yuv", DIR "temp.flv"},
        GoodLine{"\"" DIR "ffmpeg\" -y -ar 11025 -f u8 -ac 1 -i \"" DIR "hh.s16le\" -acodec libfaac -ar 44100 -ac 2%s "
                 "temp.aac -lss lss://127.0.0.1:65535",
                 "", OutputMode::LiveFlv, 0, 0, 0, 0, true, 44100, 2, "", "temp.aac"},
        GoodLine{VIDEO_IN "-s cif \"" DIR "temp.3gp\" -lss sls://127.0.0.1:65535", "160x120", OutputMode::PacketStream,
                 160, 120, 352, 288, false, 0, 0, DIR "seed.yuv", DIR "temp.3gp"},
        GoodLine{VIDEO_IN AUDIO_IN "-s cif \"" DIR "temp.3gp\" -lss sls://127.0.0.1:65535", "640x480",
                 OutputMode::PacketStream, 640, 480, 352, 288, true, 44100, 0, DIR "seed.yuv", DIR "temp.3gp"},
        GoodLine{"\"" DIR "ffmpeg\" -y -s 640x480 -pix_fmt yuyv422 -i \"/tmp/vts1A2B.tmp.yuv\" %s\"/tmp/v.jpg\"", "",
                 OutputMode::Snapshot, 640, 480, 0, 0, false, 0, 0, "/tmp/vts1A2B.tmp.yuv", "/tmp/v.jpg"},
        GoodLine{"\"" DIR "ffmpeg\" -y -s 640x480 -pix_fmt yuyv422 -i \"/tmp/a.yuv\" %s \"/tmp/a.jpg\"", "-s qcif",
                 OutputMode::Snapshot, 640, 480, 176, 144, false, 0, 0, "/tmp/a.yuv", "/tmp/a.jpg"}));

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
