#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "media/ConvertorPort.h"
#include "media/ConvertorRegistry.h"
#include "media/FLVStreamDataBuffer.h"
#include "media/FileDispatcher.h"
#include "media/StreamConvertor.h"
#include "media/StreamConvertorSession.h"
#include "media/StreamDataBuffer.h"
#include "platform/Tick.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/FlvBytes.h"

namespace {

using nettest::LogCapture;
using nettest::ReadExactly;
using nettest::SeesEndOfStream;
using nettest::WaitUntil;

// Connects the way a converter does: its key, little-endian, first.
int Greet(uint16_t port, uint32_t key, int receiveBuffer = 0) {
  const int fd = nettest::ConnectBlocking(port, receiveBuffer);
  const char greeting[4] = {static_cast<char>(key), static_cast<char>(key >> 8), static_cast<char>(key >> 16),
                            static_cast<char>(key >> 24)};
  if (fd >= 0) nettest::SendAll(fd, std::string(greeting, 4));
  return fd;
}

// Waits for a greeting with its key instead of starting a converter process.
class CKeyedConvertor : public CStreamConvertor {
 public:
  CKeyedConvertor(int type, uint32_t key) : CStreamConvertor(type, 10, 1), m_key(key) {}
  int Open() override {
    if (m_pStream == nullptr) {
      m_pStream = new CFLVStreamDataBuffer();
      m_pStream->SetSize(kStreamCapacity, kStreamHeadroom);
    }
    ++m_nOpens;
    RegisterProcess(m_key, m_nType >= 0x20000 && m_nType < 0x30000);
    m_framePacer.Start(m_nFrameRate);
    return 1;
  }
  int Opens() const { return m_nOpens; }

 private:
  uint32_t m_key;
  std::atomic<int> m_nOpens{0};
};

class ConvertorSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Instance();
    static const uint16_t port = [] {
      if (ConvertorListener().Listen(0, INADDR_LOOPBACK) != 1) return uint16_t{0};
      SetConvertorListenPort(nettest::LocalPort(ConvertorListener().GetSocket()));
      ArmConvertorSessions();
      return static_cast<uint16_t>(GetConvertorListenPort());
    }();
    m_port = port;
    ASSERT_NE(m_port, 0);
    m_mark = LogCapture::Instance().Mark();
  }
  void TearDown() override {
    SetConvertorsStopping(false);
    platform::ResetTickForTest();
    for (int fd : m_fds) close(fd);
    EXPECT_TRUE(WaitUntil([] {
      for (int i = 0; i < ConvertorSessionCount(); ++i)
        if (ConvertorSession(i)->GetState() != CIOCPSocket::kAccepting) return false;
      return true;
    }));
  }
  int Keep(int fd) {
    m_fds.push_back(fd);
    return fd;
  }
  // Greets with key and waits until the convertor took the connection as its video.
  int Video(CKeyedConvertor& convertor, uint32_t key, int receiveBuffer = 0) {
    const int fd = Keep(Greet(m_port, key, receiveBuffer));
    EXPECT_TRUE(WaitUntil([&] { return convertor.VideoSession() != nullptr; }));
    return fd;
  }
  bool LogHas(const std::string& text) {
    return WaitUntil([&] { return LogCapture::Instance().Since(m_mark).find(text) != std::string::npos; });
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

TEST_F(ConvertorSessionTest, RefusesGreetingsThatNoConvertorWaitsForAndStopsReopeningWhenTheProgramStops) {
  EXPECT_TRUE(SeesEndOfStream(Keep(Greet(m_port, 0x5150))));
  const int shortGreeting = Keep(nettest::ConnectBlocking(m_port));
  nettest::SendAll(shortGreeting, std::string("\x01\x02", 2));
  EXPECT_TRUE(SeesEndOfStream(shortGreeting));
  EXPECT_TRUE(LogHas("got pid=20816, this="));
  EXPECT_EQ(CConvertorRegistry::Instance().Size(), 0u);  // the refused session left no entry

  const uint32_t key = 0x2222;
  EXPECT_TRUE(SeesEndOfStream(Keep(Greet(m_port, key))));  // before the convertor registered
  CKeyedConvertor convertor(0x400, key);
  convertor.Open();
  Drop(Video(convertor, key));
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed open again!"));
  ASSERT_TRUE(WaitUntil([&] { return convertor.Opens() == 2; }));

  const int video = Video(convertor, key);
  EXPECT_EQ(convertor.VideoSession()->GetRecvBuffer(), convertor.StreamBuffer());
  SetConvertorsStopping(true);
  Drop(video);
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed program stopping, not opened again."));
  EXPECT_EQ(convertor.Opens(), 2);
  EXPECT_EQ(convertor.VideoSession(), nullptr);
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
  EXPECT_EQ(audioSession->GetRecvBuffer(), audioSession->GetGreetingBuffer());
  EXPECT_EQ(convertor.GetStream(key | 0x1000000), nullptr);
  EXPECT_EQ(convertor.GetStream(key), convertor.StreamBuffer());

  // The pacer repeats a frame to keep the converter's nominal rate.
  const auto frame = [&](char c, uint32_t ms) {
    platform::AdvanceTickForTest(ms);
    const std::string bytes(3000, c);
    return convertor.ConvertSourceVideoData(bytes.data(), 3000);
  };
  for (const auto& [c, ms] : {std::pair{'a', 0u}, {'b', 100u}, {'c', 250u}}) EXPECT_EQ(frame(c, ms), 1);
  EXPECT_EQ(ReadExactly(video, 12000), std::string(3000, 'a') + std::string(3000, 'b') + std::string(6000, 'c'));
  EXPECT_EQ(frame('c', 10), 1);
  EXPECT_EQ(frame('c', 10), 1);
  EXPECT_EQ(ReadExactly(video, 3000), std::string(3000, 'c'));
  EXPECT_TRUE(LogHas("CStreamConvertor::ConvertSourceVideoData Send(0) @"));

  const std::string block(1103, '\x80');
  EXPECT_EQ(convertor.ConvertSourceAudioData(block.data(), static_cast<int>(block.size())), 1);
  EXPECT_EQ(ReadExactly(audio, block.size()), block);
  EXPECT_TRUE(LogHas("CStreamConvertor::ConvertSourceAudioData Send @"));

  nettest::SendAll(audio, std::string(5000, 'x'));
  EXPECT_TRUE(LogHas("drops"));
  EXPECT_EQ(convertor.StreamBuffer()->ParserState(), 1);
  EXPECT_EQ(convertor.AudioSession(), audioSession);

  Drop(audio);  // losing the audio alone is only logged
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed audio session closed!"));
  EXPECT_EQ(convertor.AudioSession(), nullptr);
  EXPECT_NE(convertor.VideoSession(), nullptr);
  EXPECT_EQ(convertor.ConvertSourceAudioData(block.data(), 10), 0);
  EXPECT_EQ(convertor.Opens(), 1);

  Drop(video);
  EXPECT_TRUE(WaitUntil([&] { return convertor.Opens() == 2; }));
  EXPECT_EQ(convertor.ConvertSourceVideoData(block.data(), 1000), 0);
}

TEST_F(ConvertorSessionTest, QueuedFramesAreNotTornByTheCaptureReusingItsBuffer) {
  platform::FreezeTickForTest(200000);
  CKeyedConvertor convertor(0x400, 0x4444);
  convertor.Open();
  const int video = Video(convertor, 0x4444, 4096);
  const size_t size = 4 << 20;
  std::vector<char> capture(size);
  for (size_t i = 0; i < size; ++i) capture[i] = static_cast<char>(i * 7);
  const std::vector<char> first = capture;
  ASSERT_EQ(convertor.ConvertSourceVideoData(capture.data(), static_cast<int>(size)), 1);
  EXPECT_GT(convertor.VideoSession()->GetPending(), 0);
  std::fill(capture.begin(), capture.end(), 'Z');
  platform::AdvanceTickForTest(100);
  ASSERT_EQ(convertor.ConvertSourceVideoData(capture.data(), static_cast<int>(size)), 1);
  const std::string got = ReadExactly(video, 2 * size);
  ASSERT_EQ(got.size(), 2 * size);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), got.begin())) << "first frame changed while queued";
  EXPECT_EQ(got.find_first_not_of('Z', size), std::string::npos);
}

TEST_F(ConvertorSessionTest, RefusesFramesWhileMoreThanFifteenSendsAreQueued) {
  platform::FreezeTickForTest(300000);
  CKeyedConvertor convertor(0x400, 0x5555);
  convertor.Open();
  const int video = Video(convertor, 0x5555, 4096);  // a converter that stopped reading
  const int frameSize = 1 << 20;
  std::vector<char> frame(frameSize, 'f');
  int accepted = 0;
  for (int i = 0; i < 40; ++i) {
    platform::AdvanceTickForTest(100);
    accepted += convertor.ConvertSourceVideoData(frame.data(), frameSize);
  }
  EXPECT_EQ(convertor.VideoSession()->GetPending(), 16);
  EXPECT_GE(accepted, 16);
  EXPECT_LT(accepted, 40);
  EXPECT_TRUE(LogHas("CStreamConvertor::ConvertSourceVideoData Traffic Jam. NOT Send @"));
  EXPECT_TRUE(LogHas("pending=15"));

  ReadExactly(video, static_cast<size_t>(accepted) * frameSize);
  ASSERT_TRUE(WaitUntil([&] { return convertor.VideoSession()->GetPending() == 0; }));
  platform::AdvanceTickForTest(100);
  EXPECT_EQ(convertor.ConvertSourceVideoData(frame.data(), frameSize), 1);
  EXPECT_EQ(ReadExactly(video, frameSize).size(), static_cast<size_t>(frameSize));
}

TEST_F(ConvertorSessionTest, HandsParsedPackagesToViewersAndClosesOnARejectedStream) {
  const uint32_t key = 0x6666;
  CKeyedConvertor convertor(0x400, key);
  convertor.Open();
  const int video = Video(convertor, key);
  CRecordingViewer stays;
  CRecordingViewer leaves;  // detaches itself from inside its send, as a closing viewer does
  leaves.onSend = [&] { convertor.RemoveViewer(&leaves); };
  convertor.AddViewer(&leaves);
  convertor.AddViewer(&stays);

  nettest::SendAll(video, flvbytes::FileHeader() + flvbytes::Tag(18, 30, 2) + flvbytes::Tag(9, 40, 0x17));
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
  const int garbage = Video(convertor, key);
  EXPECT_EQ(convertor.StreamBuffer()->ParserState(), 1);
  nettest::SendAll(garbage, std::string(5000, 'g'));
  EXPECT_TRUE(SeesEndOfStream(garbage));
  EXPECT_TRUE(LogHas("Not a http flv stream, close session."));
  EXPECT_TRUE(WaitUntil([&] { return convertor.Opens() == 3; }));
  convertor.RemoveViewer(&stays);
}

TEST_F(ConvertorSessionTest, ADeletedConvertorLetsGoOfItsSessions) {
  platform::FreezeTickForTest(400000);
  const uint32_t key = 0x7777;
  auto* convertor = new CKeyedConvertor(0x20400, key);
  convertor->Open();
  Keep(Greet(m_port, key, 4096));
  const int audio = Keep(Greet(m_port, key | 0x1000000));
  ASSERT_TRUE(WaitUntil([&] { return convertor->VideoSession() != nullptr && convertor->AudioSession() != nullptr; }));
  std::vector<char> frame(4 << 20, 'q');
  ASSERT_EQ(convertor->ConvertSourceVideoData(frame.data(), static_cast<int>(frame.size())), 1);
  EXPECT_GT(convertor->VideoSession()->GetPending(), 0);
  delete convertor;  // with a frame still queued
  EXPECT_TRUE(SeesEndOfStream(audio));
  EXPECT_EQ(CConvertorRegistry::Instance().Size(), 0u);
  EXPECT_TRUE(SeesEndOfStream(Keep(Greet(m_port, key))));
}

}  // namespace
