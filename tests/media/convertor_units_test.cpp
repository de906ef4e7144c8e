#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "media/ConvertorPort.h"
#include "media/ConvertorRegistry.h"
#include "media/FramePacer.h"
#include "media/StreamConvertor.h"
#include "platform/ProgramDir.h"

namespace {

std::vector<int> Counts(CFramePacer& pacer, uint32_t start, uint32_t step, int frames) {
  std::vector<int> counts;
  for (int i = 0; i < frames; ++i) counts.push_back(pacer.Next(start + step * static_cast<uint32_t>(i)));
  return counts;
}

TEST(FramePacer, KeepsTheConverterInputAtTheNominalRate) {
  CFramePacer pacer;
  pacer.Start(10);
  EXPECT_EQ(pacer.TicksPerFrame(), 100);
  EXPECT_EQ(Counts(pacer, 5000, 50, 9), (std::vector<int>{1, 1, 0, 1, 0, 1, 0, 1, 0}));

  pacer.Start(10);
  EXPECT_EQ(Counts(pacer, 7000, 250, 7), (std::vector<int>{1, 2, 3, 2, 3, 2, 3}));

  pacer.Start(10);
  EXPECT_EQ(Counts(pacer, 0xFFFFFF00u, 100, 5), (std::vector<int>{1, 1, 1, 1, 1}));
  EXPECT_EQ(pacer.CumulativeOffset(), 0);

  pacer.Start(10);
  EXPECT_EQ(pacer.Next(1000), 1);
  EXPECT_EQ(pacer.Next(1160), 1);
  EXPECT_EQ(pacer.Next(1200), 1);
  EXPECT_EQ(pacer.CumulativeOffset(), 0);
}

TEST(ConvertorRegistry, GreetingDuringAStartWaitsForTheRegistration) {
  CConvertorRegistry registry;
  int convertor = 0, session = 0;
  std::atomic<void*> found{&session};
  std::atomic<bool> greeted{false};
  std::thread greeting;
  {
    const CConvertorRegistry::StartScope starting(registry);
    greeting = std::thread([&] {
      registry.WaitForStarts();
      found.store(registry.Register(42, &session));
      greeted.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(greeted.load());
    EXPECT_EQ(registry.Register(42, &convertor), nullptr);
  }
  greeting.join();
  EXPECT_EQ(found.load(), &convertor);
  EXPECT_EQ(registry.Size(), 0u);
}

TEST(ConvertorRegistry, WhoeverArrivesSecondTakesTheFirstOnesEntry) {
  CConvertorRegistry registry;
  int convertor = 0, session = 0;
  EXPECT_EQ(registry.Register(42, &convertor), nullptr);
  EXPECT_EQ(registry.Register(42, &session), &convertor);
  EXPECT_EQ(registry.Size(), 0u);  // the meeting consumed the entry

  EXPECT_EQ(registry.Register(7, &session), nullptr);
  registry.Unregister(7, &convertor);
  EXPECT_EQ(registry.Size(), 1u);
  registry.Unregister(7, &session);
  EXPECT_EQ(registry.Size(), 0u);
  EXPECT_EQ(registry.Register(7, &convertor), nullptr);

  EXPECT_EQ(registry.Register(7 | 0x1000000, &convertor), nullptr);
  EXPECT_EQ(registry.Register(7 | 0x1000000, &session), &convertor);
  EXPECT_EQ(registry.Register(7, &session), &convertor);
}

struct LineCase {
  bool mobile;
  int type;
  int resolution;
  const char* expected;  // "" when no converter is started
  bool audioKey;
};

TEST(StreamConvertor, BuildsTheCommandLineOfEveryType) {
  platform::SetConvertorDirectory("/v c");  // a blank in the folder: quoted
  SetConvertorListenPort(7541);
  const LineCase cases[] = {
      {false, 0x400, 4, "\"/v c/ffmpeg\" -y -r 10 -s 640x480 -pix_fmt yuyv422 -i \"/v c/seed.yuv\" \"/v c/temp.flv\" "
                        "-lss lss://127.0.0.1:7541", false},
      {false, 0x20400, 1, "\"/v c/ffmpeg\" -y -r 10 -s 160x120 -pix_fmt yuyv422 -i \"/v c/seed.yuv\" -ar 11025 -f u8 "
                          "-ac 1 -i \"/v c/seed.s16le\" -acodec libfaac -ar 44100 \"/v c/temp.flv\" "
                          "-lss lss://127.0.0.1:7541", true},
      {false, 0xA00, 0, "\"/v c/ffmpeg\" -y -ar 11025 -f u8 -ac 1 -i \"/v c/hh.s16le\" -acodec libfaac -ar 44100 -ac 2 "
                        "temp.aac -lss lss://127.0.0.1:7541", false},
      {true, 0x500, 2, "\"/v c/ffmpeg\" -y -r 10 -s qcif -pix_fmt yuyv422 -i \"/v c/seed.yuv\" -s cif \"/v c/temp.3gp\" "
                       "-lss sls://127.0.0.1:7541", false},
      {true, 0x20500, 3, "\"/v c/ffmpeg\" -y -r 10 -s cif -pix_fmt yuyv422 -i \"/v c/seed.yuv\" -ar 11025 -f u8 -ac 1 "
                         "-i \"/v c/seed.s16le\" -acodec libfaac -ar 44100 -s cif \"/v c/temp.3gp\" "
                         "-lss sls://127.0.0.1:7541", true},
      {false, 0x400, 9, "\"/v c/ffmpeg\" -y -r 10 -s  -pix_fmt yuyv422 -i \"/v c/seed.yuv\" \"/v c/temp.flv\" "
                        "-lss lss://127.0.0.1:7541", false},
      {false, 0x10400, 4, "", false},
      {false, 0x600, 4, "", false},
  };
  auto& registry = CConvertorRegistry::Instance();
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.type);
    CStreamConvertor* convertor = c.mobile ? new C3GPStreamConvertor(c.type, 10, c.resolution)
                                           : new CStreamConvertor(c.type, 10, c.resolution);
    EXPECT_EQ(convertor->Open(), 0);
    EXPECT_STREQ(convertor->CommandLine(), c.expected);
    EXPECT_EQ(convertor->ProcessId(), 0u);
    EXPECT_NE(convertor->StreamBuffer(), nullptr);
    EXPECT_EQ(registry.Size(), c.audioKey ? 2u : 1u);
    delete convertor;  // takes its keys out of the registry
    EXPECT_EQ(registry.Size(), 0u);
  }
}

TEST(StreamConvertor, LongLinesAreCutAndStayTerminated) {
  const std::string longDir = "/nonexistent/" + std::string(400, 'd');
  platform::SetConvertorDirectory(longDir);
  CStreamConvertor flv(0x20400, 10, 4);
  flv.Open();
  EXPECT_EQ(std::string(flv.CommandLine()).size(), 1023u);
  C3GPStreamConvertor mobile(0x20500, 10, 4);
  mobile.Open();
  EXPECT_EQ(std::string(mobile.CommandLine()).size(), 1022u);
  EXPECT_EQ(std::string(mobile.CommandLine()).rfind("\"" + longDir + "/ffmpeg\" -y -r 10", 0), 0u);
}

}  // namespace
