#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "net/IOCPServerSocket.h"
#include "platform/Tick.h"
#include "tests/net/NetTestSupport.h"

namespace {

using nettest::LogCapture;
using nettest::SeesEndOfStream;
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
    ++processed;
    return 1;
  }
  void OnDestroy() override { ++destroyed; }
  std::string Received() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_received;
  }
  std::atomic<int> processed{0}, destroyed{0};

 private:
  std::mutex m_lock;
  std::string m_received;
};

class ServerSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Instance();
    platform::FreezeTickForTest(50000000);
    ASSERT_TRUE(m_listener.Ok());
    m_session.SetListener(&m_listener);
    ASSERT_EQ(m_session.AcceptFrom(), 1);
    m_mark = LogCapture::Instance().Mark();
  }
  void TearDown() override {
    m_session.Retire();
    m_listener.Retire();
    platform::ResetTickForTest();
  }
  int ConnectAndGreet(const std::string& greeting, int receiveBuffer = 0) {
    const int before = m_session.processed;
    const int fd = nettest::ConnectBlocking(m_listener.Port(), receiveBuffer);
    EXPECT_TRUE(nettest::SendAll(fd, greeting));
    EXPECT_TRUE(WaitUntil([&] { return m_session.processed > before; }));
    EXPECT_EQ(m_session.GetState(), CIOCPSocket::kConnected);
    return fd;
  }
  std::string Logged() { return LogCapture::Instance().Since(m_mark); }
  std::string Id() const { return "[" + std::to_string(m_session.GetId()) + "]"; }
  bool BackToAccepting() { return WaitUntil([&] { return m_session.GetState() == CIOCPSocket::kAccepting; }); }
  // Maintenance after ms more: true when it ended the connection.
  bool MaintenanceCloses(int client, uint32_t ms) {
    const int destroyed = m_session.destroyed;
    platform::AdvanceTickForTest(ms);
    m_session.Maintenance();
    if (m_session.destroyed == destroyed) return false;
    EXPECT_TRUE(SeesEndOfStream(client));
    return true;
  }

  nettest::Listener m_listener;
  TestSession m_session;
  size_t m_mark = 0;
};

// Echo traffic under load is the stress test's.
TEST_F(ServerSocketTest, AcceptKnowsBothAddressesAndReArmsAfterPeerCloseEvenBeforeItsFirstBytes) {
  const int client = ConnectAndGreet("GET /a");
  EXPECT_EQ(m_session.Received(), "GET /a");
  const uint16_t clientPort = nettest::LocalPort(client);
  EXPECT_EQ(ntohs(m_session.GetRemoteAddress().sin_port), clientPort);
  EXPECT_EQ(ntohs(m_session.GetLocalAddress().sin_port), m_listener.Port());
  EXPECT_NE(Logged().find(".2]Connected from 127.0.0.1:" + std::to_string(clientPort)), std::string::npos);
  close(client);
  ASSERT_TRUE(WaitUntil([&] { return m_session.destroyed == 1; }));
  ASSERT_TRUE(BackToAccepting());
  close(nettest::ConnectBlocking(m_listener.Port()));  // gone before its first bytes
  ASSERT_TRUE(WaitUntil([&] { return m_session.destroyed == 2; }));
  ASSERT_TRUE(BackToAccepting());
  EXPECT_EQ(m_session.processed.load(), 1);
  EXPECT_EQ(LogCapture::Count(Logged(), "]recv 0 bytes, destroy socket"), 2);
  close(ConnectAndGreet("again"));
  EXPECT_EQ(m_session.Received(), "GET /aagain");
}

TEST_F(ServerSocketTest, DestorySocketTwiceLogsOnceAndTheCancelledReceiveChangesNothing) {
  const int client = ConnectAndGreet("x");
  m_session.DestorySocket();
  m_session.DestorySocket();
  EXPECT_EQ(m_session.destroyed.load(), 1);
  EXPECT_EQ(m_session.GetSocket(), CIOCPSocket::kInvalidSocket);
  const std::string cancelled = Id() + "socket -1 got error c0000120, write=0";
  ASSERT_TRUE(WaitUntil([&] { return Logged().find(cancelled) != std::string::npos; }));
  EXPECT_EQ(LogCapture::Count(Logged(), Id() + "CIOCPSocket::DestorySocket 0 package left."), 1);
  EXPECT_EQ(m_session.GetState(), CIOCPSocket::kClosed);  // not re-armed by the cancellation
  EXPECT_TRUE(SeesEndOfStream(client));
  close(client);
}

TEST_F(ServerSocketTest, SilentPeersAreClosedAt31SecondsAndIdleOnesAfterMoreThan60) {
  const int silent = nettest::ConnectBlocking(m_listener.Port());
  ASSERT_TRUE(WaitUntil([&] {
    uint32_t seconds = pc::kNotConnected;
    return pc::GetConnectTime(m_session.GetSocket(), &seconds) == 0 && seconds != pc::kNotConnected;
  }));
  EXPECT_FALSE(MaintenanceCloses(silent, 30000));
  EXPECT_TRUE(MaintenanceCloses(silent, 1000));
  EXPECT_EQ(m_session.GetState(), CIOCPSocket::kAccepting);
  close(silent);

  const int idle = ConnectAndGreet("x");
  EXPECT_FALSE(MaintenanceCloses(idle, 60000));
  EXPECT_TRUE(MaintenanceCloses(idle, 1000));
  close(idle);
  ASSERT_TRUE(BackToAccepting());
  m_session.SetIdleLimit(-1);
  const int patient = ConnectAndGreet("y");
  EXPECT_FALSE(MaintenanceCloses(patient, 1000000));
  close(patient);
}

TEST_F(ServerSocketTest, CloseWithThreeSendsInFlightClosesAfterTheLast) {
  const int client = ConnectAndGreet("hi", 4096);
  const int small = 4096;
  setsockopt(m_session.GetSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  constexpr size_t kSize = 512 * 1024;
  std::string expected;
  for (char c : {'A', 'B', 'C'}) {
    ASSERT_EQ(m_session.Send(std::string(kSize, c).data(), static_cast<int>(kSize)), 1);
    expected += std::string(kSize, c);
  }
  m_session.Close();
  EXPECT_NE(Logged().find(Id() + "CIOCPSocket::Close 3 packages left."), std::string::npos);
  EXPECT_EQ(m_session.Send("late", -1), 0);
  EXPECT_EQ(m_session.GetState(), CIOCPSocket::kConnected);

  EXPECT_TRUE(nettest::ReadExactly(client, expected.size()) == expected);
  EXPECT_TRUE(SeesEndOfStream(client));
  ASSERT_TRUE(BackToAccepting());
  EXPECT_EQ(m_session.destroyed.load(), 1);
  EXPECT_EQ(m_session.GetPending(), 0);
  EXPECT_NE(Logged().find(Id() + "Close socket because all packages have been sent."), std::string::npos);
  close(client);
}

TEST_F(ServerSocketTest, ConcurrentCloseDuringSendsReleasesEverything) {
  static const std::string shared(64 * 1024, 's');
  SharedReference reference;
  const int packagesBefore = SendPackage::LiveCount();
  std::mt19937 random(7);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    const bool graceful = round % 2 == 0;
    const int client = ConnectAndGreet("go");
    std::string queued, received;
    std::thread reader([&] {
      char chunk[65536];
      for (ssize_t n; (n = recv(client, chunk, sizeof(chunk), 0)) > 0;) received.append(chunk, static_cast<size_t>(n));
    });
    std::thread sender([&] {
      for (int i = 0; i < 300; ++i) {
        const std::string small = "copy" + std::to_string(i) + ";";
        if (m_session.Send(shared.data(), static_cast<int>(shared.size()), &reference) == 1) queued += shared;
        if (m_session.Send(small.data(), static_cast<int>(small.size())) == 1) queued += small;
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    graceful ? m_session.Close() : m_session.DestorySocket();
    sender.join();
    reader.join();
    close(client);
    ASSERT_TRUE(WaitUntil([&] { return m_session.GetPending() == 0 && !reference.IsReferenced(); }));
    EXPECT_EQ(SendPackage::LiveCount(), packagesBefore);
    ASSERT_LE(received.size(), queued.size());
    EXPECT_TRUE(queued.compare(0, received.size(), received) == 0);
    EXPECT_TRUE(!graceful || received.size() == queued.size()) << received.size() << " of " << queued.size();
    platform::AdvanceTickForTest(3000);  // finishes an aborted close
    m_session.Maintenance();
    ASSERT_TRUE(BackToAccepting());
  }
}

}  // namespace
