#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "converter/ConverterCommand.h"
#include "platform/Process.h"

namespace converter {
namespace {

std::vector<std::string> ArgsOf(const std::string& line) {  // without the program itself
  const std::vector<std::string> argv = platform::SplitCommandLine(line);
  return {argv.begin() + 1, argv.end()};
}

// Every parsed field in one line, so a table row can state them all.
std::string Summary(const ConverterCommand& c) {
  auto n = [](int v) { return std::to_string(v); };
  const char* const modes[] = {"flv", "sls", "jpg"};
  std::string s = modes[static_cast<int>(c.mode)] + std::string(c.overwrite ? " y" : "");
  if (const auto& v = c.video) s += " v " + v->path + " " + n(v->width) + "x" + n(v->height) + "@" + n(v->frameRate);
  if (const auto& a = c.audio)
    s += " a " + n(a->sampleRate) + "/" + n(a->channels) + (a->format == SampleFormat::U8 ? "/u8" : "/s16");
  s += " > " + c.outputPath + " " + n(c.outWidth) + "x" + n(c.outHeight);
  s += " " + n(c.outSampleRate) + "/" + n(c.outChannels);
  return c.mode == OutputMode::Snapshot ? s : s + " " + c.host + ":" + n(c.port);
}

#define DIR "/opt/vt cam/"
#define VIDEO_IN "\"" DIR "ffmpeg\" -y -r 10 -s %s -pix_fmt yuyv422 -i \"" DIR "seed.yuv\" "
#define AUDIO_IN "-ar 11025 -f u8 -ac 1 -i \"" DIR "seed.s16le\" -acodec libfaac -ar 44100 "

struct GoodLine { const char* format, *size, *parsed; };  // %s in the format: the size

class ConverterCommandLines : public ::testing::TestWithParam<GoodLine> {};

TEST_P(ConverterCommandLines, ParseToTheirParts) {
  char line[1024];
  snprintf(line, sizeof(line), GetParam().format, GetParam().size);
  ConverterCommand c;
  std::string error;
  ASSERT_TRUE(ParseConverterCommand(ArgsOf(line), &c, &error)) << line << "\n" << error;
  EXPECT_EQ(Summary(c), GetParam().parsed) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Convertors, ConverterCommandLines,
    ::testing::Values(
        GoodLine{VIDEO_IN AUDIO_IN "\"" DIR "temp.flv\" -lss lss://127.0.0.1:65535", "qcif",
                 "flv y v " DIR "seed.yuv 176x144@10 a 11025/1/u8 > " DIR "temp.flv 0x0 44100/0 127.0.0.1:65535"},
        GoodLine{"\"" DIR "ffmpeg\" -ar 11025 -f s16le -i \"" DIR "hh.s16le\" -acodec libfaac -ar 44100 -ac 2%s "
                 "temp.aac -lss lss://127.0.0.1:1",
                 "", "flv a 11025/1/s16 > temp.aac 0x0 44100/2 127.0.0.1:1"},
        GoodLine{"\"" DIR "ffmpeg\" -y -s 640x480 -pix_fmt yuyv422 -i \"/tmp/vts1A2B.tmp.yuv\" %s\"/tmp/v.jpg\"", "",
                 "jpg y v /tmp/vts1A2B.tmp.yuv 640x480@25 > /tmp/v.jpg 0x0 0/0"}));

TEST(ConverterCommandTest, RejectedLines) {
  const char* const lines[] = {
      "x",                                                                        // nothing at all
      "x -y -s 640x480 -i in.yuv",                                                // no output
      "x out.jpg -s 640x480 -i in.yuv",                                           // output before input
      "x -s 640x480 -i in.yuv a.jpg b.jpg",                                       // two outputs
      "x -s 641x480 -i in.yuv a.jpg",                                             // odd width
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
    EXPECT_TRUE(!ParseConverterCommand(ArgsOf(line), &command, &error) && !error.empty()) << line;
  }
}

TEST(ConverterCommandTest, FrameSizes) {
  const std::pair<const char*, int> rows[] = {
      {"112x84", 112 * 10000 + 84}, {"4096x4096", 4096 * 10000 + 4096}, {"4098x2", 0}, {"0x480", 0}, {"640x481", 0},
      {"640x", 0}, {"x480", 0}, {"640x480x2", 0}, {"-640x480", 0}, {"", 0}, {"QCIF", 0}};
  for (const auto& [text, size] : rows) {
    int w = 0, h = 0;
    EXPECT_EQ(ParseFrameSize(text, &w, &h) ? w * 10000 + h : 0, size) << text;
  }
}

}  // namespace
}  // namespace converter
