#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "media/ConvertorRegistry.h"
#include "media/FileDispatcher.h"
#include "media/StreamDataBuffer.h"
#include "platform/Tick.h"
#include "tests/media/convertor_support.h"
#include "tests/support/FlvBytes.h"

namespace {

using convertortest::CKeyedConvertor;
using convertortest::Greet;
using nettest::LogCapture;
using nettest::WaitUntil;

class ConvertorSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Instance();
    m_port = convertortest::ArmConvertorListener();
    ASSERT_NE(m_port, 0);
    m_mark = LogCapture::Instance().Mark();
  }
  void TearDown() override {
    platform::ResetTickForTest();
    for (int fd : m_fds) close(fd);
    EXPECT_TRUE(WaitUntil([] {
      for (int i = 0; i < ConvertorSessionCount(); ++i) {
        if (ConvertorSession(i)->GetState() != CIOCPSocket::kAccepting) return false;
      }
      return true;
    }));
  }
  int Keep(int fd) {
    m_fds.push_back(fd);
    return fd;
  }
  std::string Log() { return LogCapture::Instance().Since(m_mark); }
  bool LogHas(const std::string& text) {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; });
  }
  void Drop(int fd) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
    m_fds.erase(std::remove(m_fds.begin(), m_fds.end(), fd), m_fds.end());
  }

  uint16_t m_port = 0;
  size_t m_mark = 0;
  std::vector<int> m_fds;
};

class CRecordingViewer : public CFileDispatcher {
 public:
  int SendLive(CStreamDataBuffer* source) override {
    ++calls;
    int length = 0;
    source->GetPackageData(&length);
    bytes += length;
    if (onSend) onSend();
    return 1;
  }
  std::atomic<int> calls{0};
  std::atomic<int> bytes{0};
  std::function<void()> onSend;
};

std::string FlvHeader() { return flvbytes::FileHeader() + flvbytes::Tag(18, 30, 2) + flvbytes::Tag(9, 40, 0x17); }

TEST_F(ConvertorSessionTest, RefusesGreetingsThatNoConvertorWaitsFor) {
  const int unknown = Keep(Greet(m_port, 0x5150));
  EXPECT_TRUE(nettest::SeesEndOfStream(unknown));
  const int shortGreeting = Keep(nettest::ConnectBlocking(m_port));
  nettest::SendAll(shortGreeting, std::string("\x01\x02", 2));
  EXPECT_TRUE(nettest::SeesEndOfStream(shortGreeting));
  EXPECT_TRUE(LogHas("got pid=20816, this="));
  EXPECT_EQ(CConvertorRegistry::Instance().Size(), 0u);  // the refused session left no entry

  const uint32_t key = 0x2222;
  const int early = Keep(Greet(m_port, key));
  EXPECT_TRUE(nettest::SeesEndOfStream(early));
  CKeyedConvertor convertor(0x400, key);
  convertor.Open();
  const int video = Keep(Greet(m_port, key));
  ASSERT_TRUE(WaitUntil([&] { return convertor.VideoSession() != nullptr; }));
  EXPECT_EQ(convertor.VideoSession()->GetRecvBuffer(), convertor.StreamBuffer());
  EXPECT_EQ(convertor.VideoSession()->GetSessionKey(), key);
  EXPECT_EQ(CConvertorRegistry::Instance().Size(), 0u);
  Drop(video);
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed open again!"));
}

TEST_F(ConvertorSessionTest, PairsVideoAndAudioAndCarriesRawDataOut) {
  platform::FreezeTickForTest(100000);
  const uint32_t key = 0x3333;
  CKeyedConvertor convertor(0x20400, key);
  convertor.Open();
  EXPECT_EQ(CConvertorRegistry::Instance().Size(), 2u);
  const int video = Keep(Greet(m_port, key));
  const int audio = Keep(Greet(m_port, key | 0x1000000));
  ASSERT_TRUE(WaitUntil([&] { return convertor.VideoSession() != nullptr && convertor.AudioSession() != nullptr; }));
  CStreamConvertorSession* audioSession = convertor.AudioSession();
  EXPECT_NE(audioSession, convertor.VideoSession());
  EXPECT_EQ(audioSession->GetRecvBuffer(), audioSession->GetGreetingBuffer());
  EXPECT_EQ(convertor.GetStream(key | 0x1000000), nullptr);
  EXPECT_EQ(convertor.GetStream(key), convertor.StreamBuffer());

  std::string frame(3000, 'a');
  EXPECT_EQ(convertor.ConvertSourceVideoData(frame.data(), 3000), 1);
  frame.assign(3000, 'b');
  platform::AdvanceTickForTest(100);
  EXPECT_EQ(convertor.ConvertSourceVideoData(frame.data(), 3000), 1);
  frame.assign(3000, 'c');
  platform::AdvanceTickForTest(250);
  EXPECT_EQ(convertor.ConvertSourceVideoData(frame.data(), 3000), 1);
  EXPECT_EQ(nettest::ReadExactly(video, 12000),
            std::string(3000, 'a') + std::string(3000, 'b') + std::string(6000, 'c'));
  platform::AdvanceTickForTest(10);
  EXPECT_EQ(convertor.ConvertSourceVideoData(frame.data(), 3000), 1);
  platform::AdvanceTickForTest(10);
  EXPECT_EQ(convertor.ConvertSourceVideoData(frame.data(), 3000), 1);
  EXPECT_EQ(nettest::ReadExactly(video, 3000), std::string(3000, 'c'));
  EXPECT_TRUE(LogHas("CStreamConvertor::ConvertSourceVideoData Send(0) @"));

  const std::string block(1103, '\x80');
  EXPECT_EQ(convertor.ConvertSourceAudioData(block.data(), static_cast<int>(block.size())), 1);
  EXPECT_EQ(nettest::ReadExactly(audio, block.size()), block);
  EXPECT_TRUE(LogHas("CStreamConvertor::ConvertSourceAudioData Send @"));

  nettest::SendAll(audio, std::string(5000, 'x'));
  EXPECT_TRUE(LogHas("drops"));
  EXPECT_EQ(convertor.StreamBuffer()->ParserState(), 1);
  EXPECT_EQ(convertor.AudioSession(), audioSession);

  Drop(audio);
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed audio session closed!"));
  EXPECT_EQ(convertor.AudioSession(), nullptr);
  EXPECT_NE(convertor.VideoSession(), nullptr);
  EXPECT_EQ(convertor.ConvertSourceAudioData(block.data(), 10), 0);
  EXPECT_EQ(convertor.Opens(), 1);
  EXPECT_EQ(Log().find("open again!"), std::string::npos);

  Drop(video);
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed open again!"));
  EXPECT_TRUE(WaitUntil([&] { return convertor.Opens() == 2; }));
  EXPECT_EQ(convertor.VideoSession(), nullptr);
  EXPECT_EQ(convertor.ConvertSourceVideoData(frame.data(), 3000), 0);
}

TEST_F(ConvertorSessionTest, QueuedFramesAreNotTornByTheCaptureReusingItsBuffer) {
  platform::FreezeTickForTest(200000);
  const uint32_t key = 0x4444;
  CKeyedConvertor convertor(0x400, key);
  convertor.Open();
  const int video = Keep(Greet(m_port, key, 4096));
  ASSERT_TRUE(WaitUntil([&] { return convertor.VideoSession() != nullptr; }));
  const size_t size = 4 << 20;
  std::vector<char> capture(size);
  for (size_t i = 0; i < size; ++i) capture[i] = static_cast<char>(i * 7);
  const std::vector<char> first = capture;
  ASSERT_EQ(convertor.ConvertSourceVideoData(capture.data(), static_cast<int>(size)), 1);
  EXPECT_GT(convertor.VideoSession()->GetPending(), 0);
  std::fill(capture.begin(), capture.end(), 'Z');
  platform::AdvanceTickForTest(100);
  ASSERT_EQ(convertor.ConvertSourceVideoData(capture.data(), static_cast<int>(size)), 1);
  const std::string got = nettest::ReadExactly(video, 2 * size);
  ASSERT_EQ(got.size(), 2 * size);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), got.begin())) << "first frame changed while queued";
  EXPECT_EQ(got.find_first_not_of('Z', size), std::string::npos);
}

TEST_F(ConvertorSessionTest, RefusesFramesWhileMoreThanFifteenSendsAreQueued) {
  platform::FreezeTickForTest(300000);
  const uint32_t key = 0x5555;
  CKeyedConvertor convertor(0x400, key);
  convertor.Open();
  const int video = Keep(Greet(m_port, key, 4096));  // a converter that stopped reading
  ASSERT_TRUE(WaitUntil([&] { return convertor.VideoSession() != nullptr; }));
  const int frameSize = 1 << 20;
  std::vector<char> frame(frameSize, 'f');
  int accepted = 0;
  int refused = 0;
  for (int i = 0; i < 40; ++i) {
    platform::AdvanceTickForTest(100);
    if (convertor.ConvertSourceVideoData(frame.data(), frameSize) == 1) ++accepted;
    else ++refused;
  }
  EXPECT_EQ(convertor.VideoSession()->GetPending(), 16);
  EXPECT_GE(accepted, 16);
  EXPECT_GT(refused, 0);
  EXPECT_TRUE(LogHas("CStreamConvertor::ConvertSourceVideoData Traffic Jam. NOT Send @"));
  EXPECT_TRUE(LogHas("pending=15"));

  std::thread reader([&] { nettest::ReadExactly(video, static_cast<size_t>(accepted) * frameSize); });
  reader.join();
  ASSERT_TRUE(WaitUntil([&] { return convertor.VideoSession()->GetPending() == 0; }));
  platform::AdvanceTickForTest(100);
  EXPECT_EQ(convertor.ConvertSourceVideoData(frame.data(), frameSize), 1);
  EXPECT_EQ(nettest::ReadExactly(video, frameSize).size(), static_cast<size_t>(frameSize));
}

TEST_F(ConvertorSessionTest, HandsParsedPackagesToViewersAndClosesOnARejectedStream) {
  const uint32_t key = 0x6666;
  CKeyedConvertor convertor(0x400, key);
  convertor.Open();
  const int video = Keep(Greet(m_port, key));
  ASSERT_TRUE(WaitUntil([&] { return convertor.VideoSession() != nullptr; }));

  CRecordingViewer stays;
  CRecordingViewer leaves;  // detaches itself from inside its send, as a closing viewer does
  leaves.onSend = [&] { convertor.RemoveViewer(&leaves); };
  convertor.AddViewer(&leaves);
  convertor.AddViewer(&stays);
  EXPECT_EQ(convertor.ViewerCount(), 2u);

  nettest::SendAll(video, FlvHeader());
  ASSERT_TRUE(LogHas("Got whole FLV header/meta-data"));
  const std::string tags = flvbytes::Tag(9, 600, 0x27) + flvbytes::Tag(8, 100, 0xAF);
  nettest::SendAll(video, tags);
  ASSERT_TRUE(WaitUntil([&] { return stays.bytes.load() >= static_cast<int>(tags.size()); }));
  EXPECT_EQ(leaves.calls.load(), 1);
  EXPECT_EQ(convertor.ViewerCount(), 1u);
  EXPECT_EQ(convertor.GetCurrentPackage(), convertor.StreamBuffer()->GetCurrentPackage());
  EXPECT_NE(convertor.GetCurrentPackage(), nullptr);
  EXPECT_GE(convertor.ConvertedBytes(), tags.size());

  Drop(video);
  ASSERT_TRUE(WaitUntil([&] { return convertor.Opens() == 2; }));
  const int garbage = Keep(Greet(m_port, key));
  ASSERT_TRUE(WaitUntil([&] { return convertor.VideoSession() != nullptr; }));
  EXPECT_EQ(convertor.StreamBuffer()->ParserState(), 1);
  nettest::SendAll(garbage, std::string(5000, 'g'));
  EXPECT_TRUE(nettest::SeesEndOfStream(garbage));
  EXPECT_TRUE(LogHas("Not a http flv stream, close session."));
  EXPECT_TRUE(WaitUntil([&] { return convertor.Opens() == 3; }));
  convertor.RemoveViewer(&stays);
}

TEST_F(ConvertorSessionTest, ADeletedConvertorLetsGoOfItsSessions) {
  platform::FreezeTickForTest(400000);
  const uint32_t key = 0x7777;
  auto* convertor = new CKeyedConvertor(0x20400, key);
  convertor->Open();
  const int video = Keep(Greet(m_port, key, 4096));
  const int audio = Keep(Greet(m_port, key | 0x1000000));
  ASSERT_TRUE(WaitUntil([&] { return convertor->VideoSession() != nullptr && convertor->AudioSession() != nullptr; }));
  std::vector<char> frame(4 << 20, 'q');
  ASSERT_EQ(convertor->ConvertSourceVideoData(frame.data(), static_cast<int>(frame.size())), 1);
  EXPECT_GT(convertor->VideoSession()->GetPending(), 0);
  delete convertor;  // with a frame still queued
  EXPECT_TRUE(nettest::SeesEndOfStream(audio));
  EXPECT_EQ(CConvertorRegistry::Instance().Size(), 0u);
  const int again = Keep(Greet(m_port, key));
  EXPECT_TRUE(nettest::SeesEndOfStream(again));
  (void)video;
}

}  // namespace
