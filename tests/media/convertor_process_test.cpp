#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/ProgramDir.h"
#include "platform/Tick.h"
#include "remote/ProcessRunner.h"
#include "tests/media/convertor_support.h"
#include "tests/support/TestFiles.h"

namespace {

using testfiles::ReadFile;

using nettest::LogCapture;
using nettest::WaitUntil;


struct Call {
  int pid = 0;
  std::string args;
};
std::vector<Call> Calls(const std::string& dir) {
  std::vector<Call> calls;
  std::istringstream lines(ReadFile(dir + "calls.txt"));
  for (std::string line; std::getline(lines, line);) {
    const size_t tab = line.find('\t');
    calls.push_back({std::atoi(line.substr(0, tab).c_str()), line.substr(tab + 1)});
  }
  return calls;
}

std::string Args(std::initializer_list<std::string> list) {
  std::string joined;
  for (const std::string& arg : list) joined += (joined.empty() ? "" : "\x1f") + arg;
  return joined;
}

class ConvertorProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Instance();
    SetProcessWindowShown(false);
    m_port = convertortest::ArmConvertorListener();
    ASSERT_NE(m_port, 0);
    char pattern[] = "/tmp/vt conv XXXXXX";
    m_dir = std::string(mkdtemp(pattern)) + "/";
    m_mark = LogCapture::Instance().Mark();
  }
  void TearDown() override {
    platform::ResetTickForTest();
    std::system(("rm -rf '" + m_dir + "'").c_str());
  }
  void UseStandIn() {
    const std::string standIn = ReadFile(std::string(VT_SOURCE_DIR) + "/tests/media/convertor_standin.py");
    std::ofstream(m_dir + "ffmpeg") << standIn;
    chmod((m_dir + "ffmpeg").c_str(), 0755);
    platform::SetConvertorDirectory(m_dir);
  }
  std::string Log() { return LogCapture::Instance().Since(m_mark); }
  bool LogHas(const std::string& text, int timeoutMs = 10000) {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
  }

  uint16_t m_port = 0;
  std::string m_dir;
  size_t m_mark = 0;
};

TEST_F(ConvertorProcessTest, LosingTheVideoConnectionStartsTheSameCommandLineAgain) {
  UseStandIn();
  platform::FreezeTickForTest(500000);
  auto* convertor = new CStreamConvertor(0x20400, 10, 1);
  ASSERT_EQ(convertor->Open(), 1);
  ASSERT_TRUE(WaitUntil([&] { return convertor->VideoSession() != nullptr && convertor->AudioSession() != nullptr; }));
  std::vector<Call> calls = Calls(m_dir);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(static_cast<uint32_t>(calls[0].pid), convertor->ProcessId());
  const std::string port = std::to_string(m_port);
  EXPECT_EQ(calls[0].args, Args({"-y", "-r", "10", "-s", "160x120", "-pix_fmt", "yuyv422", "-i", m_dir + "seed.yuv",
                                 "-ar", "11025", "-f", "u8", "-ac", "1", "-i", m_dir + "seed.s16le", "-acodec",
                                 "libfaac", "-ar", "44100", m_dir + "temp.flv", "-lss", "lss://127.0.0.1:" + port}));
  EXPECT_TRUE(LogHas("CStreamConvertor::Open \"" + m_dir + "ffmpeg\" -y -r 10 -s 160x120"));

  const std::string close = "CLOSE!";
  EXPECT_EQ(convertor->ConvertSourceAudioData(close.data(), static_cast<int>(close.size())), 1);
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed audio session closed!"));
  EXPECT_NE(convertor->VideoSession(), nullptr);
  EXPECT_EQ(Calls(m_dir).size(), 1u);

  const std::string exitFrame = "EXIT!" + std::string(100, '\x10');
  EXPECT_EQ(convertor->ConvertSourceVideoData(exitFrame.data(), static_cast<int>(exitFrame.size())), 1);
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed open again!"));
  ASSERT_TRUE(WaitUntil([&] { return Calls(m_dir).size() == 2u; }));
  calls = Calls(m_dir);
  EXPECT_EQ(calls[1].args, calls[0].args);
  EXPECT_NE(calls[1].pid, calls[0].pid);
  ASSERT_TRUE(WaitUntil([&] { return convertor->VideoSession() != nullptr && convertor->AudioSession() != nullptr; }));
  EXPECT_EQ(static_cast<uint32_t>(calls[1].pid), convertor->ProcessId());

  delete convertor;  // closes the connections: the stand-in exits
  EXPECT_TRUE(WaitUntil([&] { return kill(calls[1].pid, 0) != 0; }));
  EXPECT_EQ(Calls(m_dir).size(), 2u);
}

TEST_F(ConvertorProcessTest, NoNewConverterOnceTheProgramStops) {
  UseStandIn();
  auto* convertor = new CStreamConvertor(0x400, 10, 1);
  ASSERT_EQ(convertor->Open(), 1);
  ASSERT_TRUE(WaitUntil([&] { return convertor->VideoSession() != nullptr; }));
  SetConvertorsStopping(true);
  const std::string exitFrame = "EXIT!" + std::string(100, '\x10');
  EXPECT_EQ(convertor->ConvertSourceVideoData(exitFrame.data(), static_cast<int>(exitFrame.size())), 1);
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed program stopping, not opened again."));
  EXPECT_EQ(Calls(m_dir).size(), 1u);
  EXPECT_EQ(convertor->VideoSession(), nullptr);
  SetConvertorsStopping(false);
  delete convertor;
}

TEST_F(ConvertorProcessTest, SnapshotRunsTheConverterAndWaitsForIt) {
  UseStandIn();
  const std::string in = m_dir + "frame.yuv";
  const std::string out = m_dir + "snap.jpg";
  EXPECT_EQ(CStreamConvertor::ConvertYUV2JPG(4, in.c_str(), out.c_str(), "qcif"), 0);
  EXPECT_EQ(ReadFile(out), "JPEG");  // written before the call returned
  EXPECT_EQ(Calls(m_dir)[0].args, Args({"-y", "-s", "640x480", "-pix_fmt", "yuyv422", "-i", in, "-s", "qcif", out}));
  EXPECT_TRUE(LogHas("ConvertYUV2JPG cmd=\"" + m_dir + "ffmpeg\" -y -s 640x480 -pix_fmt yuyv422 -i \"" + in +
                     "\" -s qcif \"" + out + "\""));
  CStreamConvertor::ConvertYUV2JPG(1, in.c_str(), out.c_str(), nullptr);
  EXPECT_EQ(Calls(m_dir)[1].args, Args({"-y", "-s", "160x120", "-pix_fmt", "yuyv422", "-i", in, out}));
}

}  // namespace
