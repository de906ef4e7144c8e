#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "media/ConvertorPort.h"
#include "media/ConvertorRegistry.h"
#include "media/FLVStreamDataBuffer.h"
#include "media/FileDispatcher.h"
#include "media/RawFramePool.h"
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
  std::string greeting;
  for (int shift = 0; shift < 32; shift += 8) greeting.push_back(static_cast<char>(key >> shift));
  if (fd >= 0) nettest::SendAll(fd, greeting);
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
    if (StaysAtRest()) return 0;
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

TEST_F(ConvertorSessionTest, RefusesStrangersAndGarbageFeedsViewersAndStopsReopeningWhenTheProgramStops) {
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
  const int garbage = Video(convertor, key);
  nettest::SendAll(garbage, std::string(5000, 'g'));
  EXPECT_TRUE(SeesEndOfStream(garbage));
  EXPECT_TRUE(LogHas("Not a http flv stream, close session."));
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed open again!"));
  ASSERT_TRUE(WaitUntil([&] { return convertor.Opens() == 2; }));

  const int video = Video(convertor, key);
  EXPECT_EQ(convertor.StreamBuffer()->ParserState(), 1);
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
  EXPECT_NE(convertor.GetCurrentPackage(), nullptr);
  EXPECT_GE(convertor.ConvertedBytes(), tags.size());
  convertor.RemoveViewer(&stays);

  SetConvertorsStopping(true);
  Drop(video);
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed program stopping, not opened again."));
  EXPECT_EQ(convertor.Opens(), 2);
  EXPECT_EQ(convertor.VideoSession(), nullptr);
  EXPECT_EQ(convertor.ConvertSourceVideoData("frame", 5), 0);
}

TEST_F(ConvertorSessionTest, PairsVideoAndAudioQueuesCopiesRefusesFramesInAJamAndLetsGoWhenDeleted) {
  platform::FreezeTickForTest(100000);
  const uint32_t key = 0x3333;
  auto* convertor = new CKeyedConvertor(0x20400, key);
  convertor->Open();
  const int video = Keep(Greet(m_port, key, 4096));
  const int audio = Keep(Greet(m_port, key | 0x1000000));
  ASSERT_TRUE(WaitUntil([&] { return convertor->VideoSession() != nullptr && convertor->AudioSession() != nullptr; }));
  CStreamConvertorSession* audioSession = convertor->AudioSession();

  // The pacer repeats a frame to keep the converter's nominal rate.
  const auto frame = [&](char c, uint32_t ms) {
    platform::AdvanceTickForTest(ms);
    const std::string bytes(3000, c);
    return convertor->ConvertSourceVideoData(bytes.data(), 3000);
  };
  for (const auto& [c, ms] : {std::pair{'a', 0u}, {'b', 100u}, {'c', 250u}, {'c', 10u}, {'c', 10u}})
    EXPECT_EQ(frame(c, ms), 1);
  EXPECT_EQ(ReadExactly(video, 15000), std::string(3000, 'a') + std::string(3000, 'b') + std::string(9000, 'c'));
  EXPECT_TRUE(LogHas("CStreamConvertor::ConvertSourceVideoData Send(0) @"));

  const std::string block(1103, '\x80');
  EXPECT_EQ(convertor->ConvertSourceAudioData(block.data(), static_cast<int>(block.size())), 1);
  EXPECT_EQ(ReadExactly(audio, block.size()), block);
  EXPECT_TRUE(LogHas("CStreamConvertor::ConvertSourceAudioData Send @"));
  nettest::SendAll(audio, std::string(5000, 'x'));
  EXPECT_TRUE(LogHas("drops"));
  EXPECT_EQ(convertor->StreamBuffer()->ParserState(), 1);
  EXPECT_EQ(convertor->AudioSession(), audioSession);
  Drop(audio);  // losing the audio alone is only logged
  EXPECT_TRUE(LogHas("CStreamConvertor::OnSessionClosed audio session closed!"));
  EXPECT_EQ(convertor->AudioSession(), nullptr);
  ASSERT_NE(convertor->VideoSession(), nullptr);
  EXPECT_EQ(convertor->ConvertSourceAudioData(block.data(), 10), 0);
  EXPECT_EQ(convertor->Opens(), 1);

  const int frameSize = 1 << 20;  // from here the converter stops reading
  std::vector<char> capture(frameSize);
  std::string expected;
  for (int i = 0; i < 40; ++i) {
    std::fill(capture.begin(), capture.end(), static_cast<char>('A' + i));  // the capture reuses its buffer
    platform::AdvanceTickForTest(100);
    if (convertor->ConvertSourceVideoData(capture.data(), frameSize) == 1) expected += std::string(frameSize, static_cast<char>('A' + i));
  }
  EXPECT_EQ(convertor->VideoSession()->GetPending(), 16);
  EXPECT_GE(expected.size(), 16u * frameSize);
  EXPECT_LT(expected.size(), 40u * frameSize);
  EXPECT_TRUE(LogHas("CStreamConvertor::ConvertSourceVideoData Traffic Jam. NOT Send @"));
  EXPECT_TRUE(LogHas("pending=15"));
  EXPECT_TRUE(ReadExactly(video, expected.size()) == expected) << "a queued frame changed";

  ASSERT_TRUE(WaitUntil([&] { return convertor->VideoSession()->GetPending() == 0; }));
  platform::AdvanceTickForTest(100);
  std::vector<char> big(4 << 20, 'q');
  ASSERT_EQ(convertor->ConvertSourceVideoData(big.data(), static_cast<int>(big.size())), 1);
  EXPECT_GT(convertor->VideoSession()->GetPending(), 0);
  delete convertor;  // with a frame still queued
  for (int i = 0; i < ConvertorSessionCount(); ++i) EXPECT_EQ(ConvertorSession(i)->GetState(), CIOCPSocket::kAccepting);
  EXPECT_EQ(CConvertorRegistry::Instance().Size(), 0u);
  EXPECT_TRUE(SeesEndOfStream(Keep(Greet(m_port, key))));
}

// Frames of one letter each, every 100 ms as the capture thread gives them.
class ConvertorRestTest : public ConvertorSessionTest {
 protected:
  void SetUp() override {
    ConvertorSessionTest::SetUp();
    platform::FreezeTickForTest(500000);
  }
  // 1 sent or held back, 0 no converter to take it.
  int Feed(CStreamConvertor& convertor, char c) {
    platform::AdvanceTickForTest(100);
    const std::string frame(kFrame, c);
    return convertor.ConvertSourceVideoData(frame.data(), kFrame);
  }
  // What reached the converter in the next 200 ms, one letter per frame.
  std::string Received() {
    char buffer[kFrame];
    for (int i = 0; i < 20; ++i, usleep(10000))
      for (ssize_t n; (n = recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;)
        m_bytes.append(buffer, static_cast<size_t>(n));
    std::string letters;
    for (; m_bytes.size() >= kFrame; m_bytes.erase(0, kFrame)) letters += m_bytes[0];
    return letters;
  }

  static constexpr int kFrame = 64;
  int m_fd = -1;
  std::string m_bytes;
};

TEST_F(ConvertorRestTest, RunsAConverterOnlyWhileAViewerWatches) {
  const uint32_t key = 0x4444;
  CKeyedConvertor convertor(0x500, key);
  convertor.SetRestsUnwatched(true);
  EXPECT_EQ(convertor.Open(), 0);
  Feed(convertor, 'a');
  EXPECT_TRUE(convertor.IsResting());
  EXPECT_EQ(convertor.Opens(), 0);
  EXPECT_TRUE(SeesEndOfStream(Keep(Greet(m_port, key))));  // nothing started, nothing waits

  // A viewer: the next frame starts a converter, frames flow once it connected.
  CRecordingViewer viewer;
  convertor.AddViewer(&viewer);
  EXPECT_EQ(Feed(convertor, 'b'), 0);
  EXPECT_EQ(convertor.Opens(), 1);
  EXPECT_FALSE(convertor.IsResting());
  m_fd = Video(convertor, key);
  for (char c : std::string("cde")) EXPECT_EQ(Feed(convertor, c), 1);
  EXPECT_EQ(Received(), "cde");
  const std::string first = flvbytes::FileHeader() + flvbytes::Tag(18, 30, 2) + flvbytes::Tag(9, 40, 0x17) +
                            flvbytes::Tag(9, 600, 0x27).substr(0, 100);  // a tag cut off by the stop
  nettest::SendAll(m_fd, first);
  ASSERT_TRUE(WaitUntil([&] { return convertor.ConvertedBytes() == first.size(); }));

  // The viewer leaves: the converter's connection ends at the next frame and nothing is sent.
  convertor.RemoveViewer(&viewer);
  EXPECT_EQ(Feed(convertor, 'f'), 1);
  EXPECT_TRUE(SeesEndOfStream(m_fd));
  EXPECT_TRUE(LogHas("no viewer, converter stopped"));
  EXPECT_TRUE(convertor.IsResting());
  EXPECT_EQ(convertor.VideoSession(), nullptr);

  // One comes and goes before its converter connected: the late converter is refused.
  convertor.AddViewer(&viewer);
  Feed(convertor, 'g');
  convertor.RemoveViewer(&viewer);
  Feed(convertor, 'h');
  EXPECT_EQ(convertor.Opens(), 2);
  EXPECT_TRUE(SeesEndOfStream(Keep(Greet(m_port, key))));
  EXPECT_EQ(CConvertorRegistry::Instance().Size(), 0u);

  // The next converter's stream is read from its start, not after the cut-off tag.
  convertor.AddViewer(&viewer);
  Feed(convertor, 'i');
  m_fd = Video(convertor, key);
  nettest::SendAll(m_fd, flvbytes::FileHeader() + flvbytes::Tag(18, 30, 2) + flvbytes::Tag(9, 40, 0x17));
  const std::string tags = flvbytes::Tag(9, 600, 0x27) + flvbytes::Tag(9, 500, 0x27);
  nettest::SendAll(m_fd, tags);
  EXPECT_TRUE(WaitUntil([&] { return viewer.bytes.load() >= static_cast<int>(tags.size()); }));
  const std::string log = LogCapture::Instance().Since(m_mark);
  const std::string header = "Got whole FLV header/meta-data";
  EXPECT_NE(log.find(header, log.find(header) + 1), std::string::npos);  // both converters' headers
  EXPECT_EQ(convertor.Opens(), 3);

  // Once the program is stopping, a viewer starts nothing.
  convertor.RemoveViewer(&viewer);
  Feed(convertor, 'j');
  SetConvertorsStopping(true);
  convertor.AddViewer(&viewer);
  Feed(convertor, 'k');
  EXPECT_EQ(convertor.Opens(), 3);
  EXPECT_TRUE(convertor.IsResting());
  convertor.RemoveViewer(&viewer);
}

TEST_F(ConvertorRestTest, ASharedFrameIsSentByReferenceAndPinnedUntilSent) {
  CKeyedConvertor convertor(0x400, 0x5555);
  convertor.Open();
  m_fd = Video(convertor, 0x5555);

  CRawFramePool pool(2);
  RawFrame* first = pool.Copy(std::string(kFrame, 'x').data(), kFrame);
  ASSERT_NE(first, nullptr);
  first->AddRef();  // held like the channel's latest frame
  EXPECT_EQ(convertor.ConvertSourceVideoFrame(first), 1);
  EXPECT_EQ(Received(), "x");
  EXPECT_TRUE(WaitUntil([&] { return first->refCount.load() == 1; }));  // only the holder's pin is left

  RawFrame* second = pool.Take(kFrame);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  second->AddRef();
  EXPECT_EQ(pool.Take(kFrame), nullptr);  // both pinned, the pool is full
  first->Release();
  EXPECT_EQ(pool.Take(kFrame), first);    // the unpinned one is handed out again
  EXPECT_EQ(pool.Take(0), nullptr);
  second->Release();
  EXPECT_EQ(convertor.ConvertSourceVideoFrame(nullptr), 0);
}

}  // namespace
