#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "net/IOCPServerSocket.h"
#include "net/SessionRegistry.h"
#include "platform/Tick.h"
#include "tests/net/NetTestSupport.h"

namespace {

using nettest::LogCapture;
using nettest::WaitUntil;
namespace pc = platform::completion;

class TestSession : public CIOCPServerSocket {
 public:
  ~TestSession() override { Retire(); }

  int ProcessRecvBuffer() override {
    int length = 0;
    char* data = m_pRecvBuffer->GetData(&length);
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_received.append(data, static_cast<size_t>(length));
    }
    m_pRecvBuffer->Consume(length);
    m_processed.fetch_add(1);
    return 1;
  }
  void OnDestroy() override { m_destroyed.fetch_add(1); }

  std::string Received() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_received;
  }
  int Processed() const { return m_processed.load(); }
  int Destroyed() const { return m_destroyed.load(); }

 private:
  std::mutex m_lock;
  std::string m_received;
  std::atomic<int> m_processed{0};
  std::atomic<int> m_destroyed{0};
};

std::string Id(const CIOCPSocket& socket) { return "[" + std::to_string(socket.GetId()) + "]"; }

class ServerSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Instance();
    platform::FreezeTickForTest(50000000);
    ASSERT_TRUE(m_listener.Ok());
    m_session.SetListener(&m_listener);
    ASSERT_EQ(m_session.AcceptFrom(), 1);
    EXPECT_EQ(m_session.GetState(), CIOCPSocket::kAccepting);
  }
  void TearDown() override {
    m_session.Retire();
    m_listener.Retire();
    platform::ResetTickForTest();
  }
  int ConnectAndGreet(const std::string& greeting, int receiveBuffer = 0) {
    const int before = m_session.Processed();
    const int fd = nettest::ConnectBlocking(m_listener.Port(), receiveBuffer);
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(nettest::SendAll(fd, greeting));
    EXPECT_TRUE(WaitUntil([&] { return m_session.Processed() > before; }));
    EXPECT_EQ(m_session.GetState(), CIOCPSocket::kConnected);
    return fd;
  }

  nettest::Listener m_listener;
  TestSession m_session;
};

TEST_F(ServerSocketTest, AcceptWithFirstDataServesAndReArmsAfterPeerClose) {
  const size_t mark = LogCapture::Instance().Mark();
  const int client = ConnectAndGreet("GET /a");
  EXPECT_EQ(m_session.Received(), "GET /a");
  const uint16_t clientPort = nettest::LocalPort(client);
  EXPECT_EQ(ntohs(m_session.GetRemoteAddress().sin_port), clientPort);
  EXPECT_EQ(ntohs(m_session.GetLocalAddress().sin_port), m_listener.Port());
  EXPECT_NE(LogCapture::Instance().Since(mark).find(".2]Connected from 127.0.0.1:" + std::to_string(clientPort)),
            std::string::npos);

  ASSERT_EQ(m_session.Send("reply", -1), 1);
  EXPECT_EQ(nettest::ReadExactly(client, 5), "reply");
  ASSERT_TRUE(nettest::SendAll(client, "more"));
  ASSERT_TRUE(WaitUntil([&] { return m_session.Received() == "GET /amore"; }));

  close(client);
  ASSERT_TRUE(WaitUntil([&] { return m_session.Destroyed() == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return m_session.GetState() == CIOCPSocket::kAccepting; }));
  EXPECT_NE(LogCapture::Instance().Since(mark).find("]recv 0 bytes, destroy socket"), std::string::npos);
  const int second = ConnectAndGreet("again");
  EXPECT_EQ(m_session.Received(), "GET /amoreagain");
  close(second);
}

TEST_F(ServerSocketTest, PeerClosingBeforeItsFirstBytesIsRecycled) {
  const size_t mark = LogCapture::Instance().Mark();
  close(nettest::ConnectBlocking(m_listener.Port()));
  ASSERT_TRUE(WaitUntil([&] { return m_session.Destroyed() == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return m_session.GetState() == CIOCPSocket::kAccepting; }));
  EXPECT_EQ(m_session.Processed(), 0);
  EXPECT_NE(LogCapture::Instance().Since(mark).find("recv 0 bytes, destroy socket"), std::string::npos);
}

TEST_F(ServerSocketTest, DestorySocketTwiceLogsOnceAndTheCancelledReceiveChangesNothing) {
  const int client = ConnectAndGreet("x");
  const size_t mark = LogCapture::Instance().Mark();
  m_session.DestorySocket();
  m_session.DestorySocket();
  EXPECT_EQ(m_session.Destroyed(), 1);
  EXPECT_EQ(m_session.GetSocket(), CIOCPSocket::kInvalidSocket);
  const std::string cancelled = Id(m_session) + "socket -1 got error c0000120, write=0";
  ASSERT_TRUE(WaitUntil([&] { return LogCapture::Instance().Since(mark).find(cancelled) != std::string::npos; }));
  const std::string log = LogCapture::Instance().Since(mark);
  EXPECT_EQ(LogCapture::Count(log, Id(m_session) + "CIOCPSocket::DestorySocket 0 package left."), 1);
  EXPECT_EQ(m_session.GetState(), CIOCPSocket::kClosed);  // not re-armed by the cancellation
  EXPECT_TRUE(nettest::SeesEndOfStream(client));
  close(client);
}

TEST_F(ServerSocketTest, SilentPeerIsClosedByTheFirstMaintenanceAt31Seconds) {
  const int client = nettest::ConnectBlocking(m_listener.Port());
  ASSERT_TRUE(WaitUntil([&] {
    uint32_t seconds = pc::kNotConnected;
    return pc::GetConnectTime(m_session.GetSocket(), &seconds) == 0 && seconds != pc::kNotConnected;
  }));
  platform::AdvanceTickForTest(30000);
  m_session.Maintenance();
  EXPECT_EQ(m_session.GetState(), CIOCPSocket::kAccepting);
  EXPECT_EQ(m_session.Destroyed(), 0);
  char byte;
  EXPECT_EQ(recv(client, &byte, 1, MSG_DONTWAIT), -1);  // still open

  platform::AdvanceTickForTest(1000);
  m_session.Maintenance();
  EXPECT_EQ(m_session.Destroyed(), 1);
  EXPECT_TRUE(nettest::SeesEndOfStream(client));
  EXPECT_EQ(m_session.GetState(), CIOCPSocket::kAccepting);
  close(client);
  close(ConnectAndGreet("next"));
}

TEST_F(ServerSocketTest, IdleConnectionIsClosedOnlyAfterMoreThanTheIdleLimit) {
  const int client = ConnectAndGreet("x");
  platform::AdvanceTickForTest(60000);
  m_session.Maintenance();
  EXPECT_EQ(m_session.GetState(), CIOCPSocket::kConnected);
  platform::AdvanceTickForTest(1000);
  m_session.Maintenance();
  EXPECT_EQ(m_session.Destroyed(), 1);
  EXPECT_TRUE(nettest::SeesEndOfStream(client));
  close(client);

  m_session.SetIdleLimit(-1);
  const int patient = ConnectAndGreet("y");
  platform::AdvanceTickForTest(1000000);
  m_session.Maintenance();
  EXPECT_EQ(m_session.GetState(), CIOCPSocket::kConnected);
  close(patient);
}

TEST_F(ServerSocketTest, CloseWithThreeSendsInFlightClosesAfterTheLast) {
  const int client = ConnectAndGreet("hi", 4096);
  const int small = 4096;
  setsockopt(m_session.GetSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  constexpr size_t kSize = 512 * 1024;
  std::string expected;
  for (char c : {'A', 'B', 'C'}) {
    std::string block(kSize, c);
    block[0] = '<';
    block[kSize - 1] = '>';
    ASSERT_EQ(m_session.Send(block.data(), static_cast<int>(kSize)), 1);
    expected += block;
  }
  EXPECT_EQ(m_session.GetPending(), 3);

  const size_t mark = LogCapture::Instance().Mark();
  m_session.Close();
  EXPECT_NE(LogCapture::Instance().Since(mark).find(Id(m_session) + "CIOCPSocket::Close 3 packages left."),
            std::string::npos);
  EXPECT_EQ(m_session.Send("late", -1), 0);
  EXPECT_EQ(m_session.GetState(), CIOCPSocket::kConnected);
  EXPECT_EQ(m_session.Destroyed(), 0);

  EXPECT_EQ(nettest::ReadExactly(client, expected.size()) == expected, true);
  EXPECT_TRUE(nettest::SeesEndOfStream(client));
  ASSERT_TRUE(WaitUntil([&] { return m_session.Destroyed() == 1; }));
  EXPECT_EQ(m_session.GetPending(), 0);
  EXPECT_NE(
      LogCapture::Instance().Since(mark).find(Id(m_session) + "Close socket because all packages have been sent."),
      std::string::npos);
  ASSERT_TRUE(WaitUntil([&] { return m_session.GetState() == CIOCPSocket::kAccepting; }));
  close(client);
}

TEST_F(ServerSocketTest, ConcurrentCloseDuringSendsReleasesEverything) {
  static std::string shared(64 * 1024, 's');
  SharedReference reference;
  const int packagesBefore = SendPackage::LiveCount();
  std::mt19937 random(7);
  for (int round = 0; round < 12; ++round) {
    const bool graceful = round % 2 == 0;
    const int client = ConnectAndGreet("go");
    std::string queued;
    std::string received;
    std::thread reader([&] {
      char chunk[65536];
      for (;;) {
        const ssize_t n = recv(client, chunk, sizeof(chunk), 0);
        if (n <= 0) break;
        received.append(chunk, static_cast<size_t>(n));
      }
    });
    std::thread sender([&] {
      for (int i = 0; i < 300; ++i) {
        const std::string small = "copy" + std::to_string(i) + ";";
        if (m_session.Send(shared.data(), static_cast<int>(shared.size()), &reference) == 1) queued += shared;
        if (m_session.Send(small.data(), static_cast<int>(small.size())) == 1) queued += small;
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    std::thread closer([&] {
      if (graceful) m_session.Close();
      else m_session.DestorySocket();
    });
    closer.join();
    sender.join();
    reader.join();
    close(client);
    ASSERT_TRUE(WaitUntil([&] { return m_session.GetPending() == 0 && !reference.IsReferenced(); }));
    EXPECT_EQ(SendPackage::LiveCount(), packagesBefore);
    ASSERT_LE(received.size(), queued.size());
    EXPECT_TRUE(queued.compare(0, received.size(), received) == 0) << "round " << round;
    if (graceful) {
      EXPECT_EQ(received.size(), queued.size()) << "round " << round;
    }
    if (!graceful) {
      platform::AdvanceTickForTest(3000);
      m_session.Maintenance();
    }
    ASSERT_TRUE(WaitUntil([&] { return m_session.GetState() == CIOCPSocket::kAccepting; })) << "round " << round;
  }
}

}  // namespace
