#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "media/FLVStreamDataBuffer.h"
#include "media/FileDispatcher.h"
#include "media/FlvTemplates.h"
#include "media/PacketStreamDataBuffer.h"
#include "media/ViewerQueue.h"
#include "net/IOCPServerSocket.h"
#include "platform/Tick.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/FlvBytes.h"

namespace {

using namespace flvbytes;
using nettest::LogCapture;
using nettest::WaitUntil;

class Viewer : public CIOCPServerSocket, public CFileDispatcher {
 public:
  ~Viewer() override { Retire(); }
  int ProcessRecvBuffer() override {
    m_pRecvBuffer->Reset();
    ++processed;
    return 1;
  }
  std::atomic<int> processed{0};
};

bool NothingArrived(int fd) {
  char byte;
  return recv(fd, &byte, 1, MSG_DONTWAIT) == -1 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

class FileDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Instance();
    platform::FreezeTickForTest(7000000);
    m_mark = LogCapture::Instance().Mark();
    ASSERT_TRUE(m_listener.Ok());
    m_viewer.SetListener(&m_listener);
    ASSERT_EQ(m_viewer.AcceptFrom(), 1);
    m_client = nettest::ConnectBlocking(m_listener.Port());
    ASSERT_GE(m_client, 0);
    ASSERT_TRUE(nettest::SendAll(m_client, "GET /vdata.flv HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_viewer.processed > 0; }));
    m_viewer.Bind(&m_viewer);
    m_flv.SetSize(8192, 32);
  }
  void TearDown() override {
    close(m_client);
    m_viewer.Retire();
    m_listener.Retire();
    platform::ResetTickForTest();
  }
  std::string Logged() { return LogCapture::Instance().Since(m_mark); }
  bool SendsDone() { return WaitUntil([&] { return m_viewer.GetPending() == 0; }); }

  size_t m_mark = 0;
  nettest::Listener m_listener;
  Viewer m_viewer;
  int m_client = -1;
  CFLVStreamDataBuffer m_flv;
};

TEST_F(FileDispatcherTest, ViewerWaitsForAKeyFrameGetsWholePackagesSkipsWhenBehindAndIsClosedWhenStalled) {
  ASSERT_EQ(Feed(m_flv, FileHeader() + Meta() + Key(100)), 0);  // header only
  EXPECT_EQ(m_viewer.SendLive(&m_flv), 0);
  ASSERT_EQ(Feed(m_flv, Inter(200) + Audio(40)), 1);  // no key frame yet
  EXPECT_EQ(m_viewer.SendLive(&m_flv), 0);
  EXPECT_TRUE(NothingArrived(m_client));

  const std::string cut = Inter(700);
  ASSERT_EQ(Feed(m_flv, Inter(50) + Key(900) + Audio(30) + cut.substr(0, 5)), 1);
  StreamPackage* keyPackage = m_flv.GetCurrentPackage();
  EXPECT_EQ(m_viewer.SendLive(&m_flv), 1);
  const std::string header = FileHeader() + Meta() + Key(100);
  EXPECT_EQ(nettest::ReadExactly(m_client, header.size() + 930), header + Key(900) + Audio(30));
  ASSERT_TRUE(SendsDone());
  EXPECT_FALSE(keyPackage->IsReferenced());  // the pin was dropped when the send completed
  for (const char* piece : {"CFileDispatcher::SendLive1 source=", "CFileDispatcher::SendLive2 source=", ", size=930"})
    EXPECT_NE(Logged().find(piece), std::string::npos) << piece;

  ASSERT_EQ(Feed(m_flv, cut.substr(5) + Key(60)), 1);  // a key frame changes nothing for a running viewer
  EXPECT_EQ(m_viewer.SendLive(&m_flv), 1);
  EXPECT_EQ(nettest::ReadExactly(m_client, 760), cut + Key(60));
  EXPECT_EQ(m_viewer.LiveCount(), 2);
  EXPECT_EQ(LogCapture::Count(Logged(), "CFileDispatcher::SendLive2"), 1);
  ASSERT_TRUE(SendsDone());

  const int small = 4096;  // a viewer falling behind skips to the next key frame
  setsockopt(m_viewer.GetSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  const std::string blob(3 << 20, 'b');
  ASSERT_EQ(m_viewer.SendRaw(blob.data(), static_cast<int>(blob.size())), 1);
  ASSERT_EQ(Feed(m_flv, Inter(100)), 1);
  EXPECT_EQ(m_viewer.SendLive(&m_flv), 1);
  platform::AdvanceTickForTest(ViewerQueueLimits::Program().lagMs);
  ASSERT_EQ(Feed(m_flv, Inter(200)), 1);
  StreamPackage* skipped = m_flv.GetCurrentPackage();
  EXPECT_EQ(m_viewer.SendLive(&m_flv), 0);
  EXPECT_TRUE(m_viewer.IsBehind());
  EXPECT_FALSE(skipped->IsReferenced());
  EXPECT_NE(Logged().find("behind, "), std::string::npos);

  EXPECT_EQ(nettest::ReadExactly(m_client, blob.size() + 100), blob + Inter(100));
  ASSERT_TRUE(SendsDone());
  ASSERT_EQ(Feed(m_flv, Inter(300)), 1);
  EXPECT_EQ(m_viewer.SendLive(&m_flv), 0);
  ASSERT_EQ(Feed(m_flv, Inter(50) + Key(400) + Audio(30)), 1);
  EXPECT_EQ(m_viewer.SendLive(&m_flv), 1);
  EXPECT_FALSE(m_viewer.IsBehind());
  EXPECT_EQ(nettest::ReadExactly(m_client, 430), Key(400) + Audio(30));
  ASSERT_TRUE(SendsDone());

  // Stalled for good: the socket's maintenance closes it, not the distribution.
  ASSERT_EQ(m_viewer.SendRaw(blob.data(), static_cast<int>(blob.size())), 1);
  ASSERT_EQ(Feed(m_flv, Inter(100)), 1);
  ASSERT_EQ(m_viewer.SendLive(&m_flv), 1);
  StreamPackage* pinned = m_flv.GetCurrentPackage();
  m_viewer.SetSendStallLimit(static_cast<int>(ViewerQueueLimits::Program().stallMs));
  platform::AdvanceTickForTest(ViewerQueueLimits::Program().stallMs);
  m_viewer.Maintenance();
  EXPECT_NE(Logged().find("Sends stalled for 30000 ms"), std::string::npos);
  ASSERT_TRUE(SendsDone());
  EXPECT_FALSE(pinned->IsReferenced());
  EXPECT_EQ(m_viewer.GetState(), CIOCPSocket::kAccepting);
}

// A record stream with a header record is the system tests' mobile stream.
TEST_F(FileDispatcherTest, RecordStreamWithoutAHeaderRecordStartsAtTheFirstBoundary) {
  CPacketStreamDataBuffer records;
  records.SetSize(8192, 32);
  const std::string second = Record("de");
  ASSERT_EQ(Feed(records, Record("") + Record("abc") + second.substr(0, 3)), 1);
  EXPECT_EQ(m_viewer.SendLive(&records), 1);
  EXPECT_EQ(nettest::ReadExactly(m_client, 10), Record("abc") + second.substr(0, 3));
  ASSERT_EQ(Feed(records, second.substr(3)), 1);
  EXPECT_EQ(m_viewer.SendLive(&records), 1);
  EXPECT_EQ(nettest::ReadExactly(m_client, 3), second.substr(3));
  EXPECT_EQ(Logged().find("CFileDispatcher::SendLive1"), std::string::npos);
  EXPECT_NE(Logged().find("CFileDispatcher::SendLive2"), std::string::npos);
  EXPECT_TRUE(SendsDone());  // the packages stay pinned until their sends completed
}

TEST_F(FileDispatcherTest, AudioFramesBecomeTagsAfterTheTemplatesOnce) {
  char buffer[6 + 200 + 4];
  char* frame = buffer + 6;
  const std::string adts("\xFF\xF1\x50\x40\x19\x1F\xFC", 7);
  for (int i = 0; i < 200; ++i) frame[i] = i < 7 ? adts[i] : static_cast<char>(i);
  const std::string raw(frame + 7, 193);

  platform::AdvanceTickForTest(0x12345678);  // audio time since Bind, beyond 24 bits
  EXPECT_EQ(m_viewer.SendAudioFrame(frame, 200), 1);
  const std::string header(reinterpret_cast<const char*>(kFlvStreamHeaderTemplate), kFlvStreamHeaderTemplateSize);
  const std::string start(reinterpret_cast<const char*>(kFlvAudioStartTemplate), kFlvAudioStartTemplateSize);
  const std::string tag = std::string("\x08\x00\x00\xC3\x34\x56\x78\x12\x00\x00\x00\xAF\x01", 13) + raw + Be(206, 4);
  EXPECT_EQ(nettest::ReadExactly(m_client, 272 + 231 + 210), header + start + tag);

  std::memcpy(frame, adts.data(), 7);
  platform::AdvanceTickForTest(10);
  EXPECT_EQ(m_viewer.SendAudioFrame(frame, 200), 2);
  EXPECT_EQ(nettest::ReadExactly(m_client, 210),
            std::string("\x08\x00\x00\xC3\x34\x56\x82\x12\x00\x00\x00\xAF\x01", 13) + raw + Be(206, 4));

  EXPECT_EQ(m_viewer.SendAudioFrame(frame, 6), 2);
  EXPECT_NE(Logged().find("CFileDispatcher::SendAudioFrame not an ADTS frame, length=6"), std::string::npos);
  ASSERT_TRUE(SendsDone());
  EXPECT_TRUE(NothingArrived(m_client));
}

}  // namespace
