#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "media/ConvertorPort.h"
#include "media/ConvertorRegistry.h"
#include "media/FramePacer.h"
#include "media/StreamConvertor.h"
#include "platform/ProgramDir.h"

namespace {

TEST(FramePacer, KeepsTheConverterInputAtTheNominalRate) {
  const std::tuple<std::vector<uint32_t>, std::vector<int>, bool> rows[] = {  // ticks, counts, offset back at 0
      {{5000, 5050, 5100, 5150, 5200, 5250, 5300, 5350, 5400}, {1, 1, 0, 1, 0, 1, 0, 1, 0}, false},  // early: dropped
      {{7000, 7250, 7500, 7750, 8000, 8250, 8500}, {1, 2, 3, 2, 3, 2, 3}, false},                    // late: repeated
      {{1000, 1160, 1200}, {1, 1, 1}, true},                                                          // jitter
      {{0xFFFFFF00u, 0xFFFFFF64u, 0xFFFFFFC8u, 0x2Cu, 0x90u}, {1, 1, 1, 1, 1}, true},                // the tick wraps
  };
  CFramePacer pacer;
  for (const auto& [ticks, counts, settled] : rows) {
    pacer.Start(10);
    std::vector<int> got;
    for (uint32_t tick : ticks) got.push_back(pacer.Next(tick));
    EXPECT_EQ(got, counts) << ticks[0];
    EXPECT_TRUE(!settled || pacer.CumulativeOffset() == 0) << ticks[0] << ": " << pacer.CumulativeOffset();
  }
}

TEST(ConvertorRegistry, GreetingDuringAStartWaitsAndOnlyTheOwnerTakesItsEntryOut) {
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

  EXPECT_EQ(registry.Register(7, &session), nullptr);
  registry.Unregister(7, &convertor);  // only the owner takes its entry out
  EXPECT_EQ(registry.Size(), 1u);
  registry.Unregister(7, &session);
  EXPECT_EQ(registry.Size(), 0u);
  EXPECT_EQ(registry.Register(7, &convertor), nullptr);
  EXPECT_EQ(registry.Register(7 | 0x1000000, &convertor), nullptr);  // audio keys are apart
  EXPECT_EQ(registry.Register(7 | 0x1000000, &session), &convertor);
  EXPECT_EQ(registry.Register(7, &session), &convertor);
}

// The plain video and mobile lines are the system tests' running converters.
TEST(StreamConvertor, BuildsTheCommandLineOfEveryType) {
  platform::SetConvertorDirectory("/v c");  // a blank in the folder: quoted
  SetConvertorListenPort(7541);
  const std::string ff = "\"/v c/ffmpeg\" -y ", lss = "-lss lss://127.0.0.1:7541";
  const auto video = [](const std::string& size) {
    return "-r 10 -s " + size + " -pix_fmt yuyv422 -i \"/v c/seed.yuv\" ";
  };
  const std::string audio = "-ar 11025 -f u8 -ac 1 -i \"/v c/seed.s16le\" -acodec libfaac -ar 44100 ";
  const struct {
    bool mobile;
    int type, resolution;
    std::string expected;  // "" when no converter is started
    bool audioKey;
  } cases[] = {
      {false, 0x400, 4, ff + video("640x480") + "\"/v c/temp.flv\" " + lss, false},
      {false, 0x20400, 1, ff + video("160x120") + audio + "\"/v c/temp.flv\" " + lss, true},
      {false, 0xA00, 0,
       ff + "-ar 11025 -f u8 -ac 1 -i \"/v c/hh.s16le\" -acodec libfaac -ar 44100 -ac 2 temp.aac " + lss, false},
      {true, 0x20500, 3, ff + video("cif") + audio + "-s cif \"/v c/temp.3gp\" -lss sls://127.0.0.1:7541", true},
      {false, 0x400, 9, ff + video("") + "\"/v c/temp.flv\" " + lss, false},
      {false, 0x10400, 4, "", false},
      {false, 0x600, 4, "", false},
  };
  auto& registry = CConvertorRegistry::Instance();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    CStreamConvertor* convertor = c.mobile ? new C3GPStreamConvertor(c.type, 10, c.resolution)
                                           : new CStreamConvertor(c.type, 10, c.resolution);
    EXPECT_EQ(convertor->Open(), 0);
    EXPECT_EQ(convertor->CommandLine(), c.expected);
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
