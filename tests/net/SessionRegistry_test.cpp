#include "net/SessionRegistry.h"

#include <gtest/gtest.h>

#include <string>

#include "net/IOCPClientSocket.h"
#include "platform/Tick.h"
#include "tests/net/NetTestSupport.h"

namespace {

using nettest::LogCapture;
using nettest::WaitUntil;

class SessionRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Instance();
    platform::FreezeTickForTest(70000000);
  }
  void TearDown() override { platform::ResetTickForTest(); }

  void Hire(CIOCPClientSocket& socket) {
    socket.SetRegistry(&m_registry);
    socket.StampTimestamp();
    m_registry.AddInUse(&socket);
  }

  CSessionRegistry m_registry;
};

TEST_F(SessionRegistryTest, ReleasedSocketIsHandedOutOnlyAfterItsRest) {
  CIOCPClientSocket socket;
  Hire(socket);
  EXPECT_EQ(m_registry.GetReuseSession(), nullptr);  // nothing released yet
  socket.Recycle();
  EXPECT_EQ(socket.GetRegistry(), nullptr);
  EXPECT_EQ(m_registry.ReusableCount(), 1);
  EXPECT_EQ(m_registry.InUseCount(), 0);

  platform::AdvanceTickForTest(15000);  // still resting
  const size_t mark = LogCapture::Instance().Mark();
  EXPECT_EQ(m_registry.GetReuseSession(), nullptr);
  EXPECT_NE(LogCapture::Instance().Since(mark).find("]GetReuseSession pending=1 using=0, elapsed=15, id=" +
                                                    std::to_string(socket.GetId())),
            std::string::npos);
  platform::AdvanceTickForTest(1000);
  EXPECT_EQ(m_registry.GetReuseSession(), &socket);
  EXPECT_EQ(socket.GetRegistry(), &m_registry);
  EXPECT_EQ(m_registry.ReusableCount(), 0);
  EXPECT_EQ(m_registry.InUseCount(), 1);
  EXPECT_EQ(socket.SecondsSinceTimestamp(), 0u);  // stamped when handed out
}

TEST_F(SessionRegistryTest, SweepClosesBusySocketsSilentForMoreThan15Seconds) {
  uint16_t port = 0;
  const int server = nettest::ListenBlocking(&port);
  CIOCPClientSocket quiet, lively;
  for (CIOCPClientSocket* socket : {&quiet, &lively}) {
    socket->SetTarget(("127.0.0.1:" + std::to_string(port)).c_str());
    socket->SetRequestData("REQ", -1);
    Hire(*socket);
    ASSERT_EQ(socket->ConnectTo(), 1);
    ASSERT_TRUE(WaitUntil([&] { return socket->GetState() == CIOCPSocket::kConnected; }));
  }
  const int quietPeer = accept(server, nullptr, nullptr);
  const int livelyPeer = accept(server, nullptr, nullptr);

  platform::AdvanceTickForTest(15000);
  m_registry.Sweep();
  EXPECT_EQ(quiet.GetState(), CIOCPSocket::kConnected);
  lively.StampTimestamp();  // activity on one of them
  platform::AdvanceTickForTest(1000);
  m_registry.Sweep();
  EXPECT_EQ(quiet.GetState(), CIOCPSocket::kClosed);
  EXPECT_EQ(lively.GetState(), CIOCPSocket::kConnected);
  EXPECT_EQ(m_registry.ReusableCount(), 1);
  EXPECT_EQ(m_registry.InUseCount(), 1);
  EXPECT_EQ(quiet.GetRegistry(), nullptr);
  EXPECT_EQ(nettest::ReadExactly(quietPeer, 3), "REQ");
  EXPECT_TRUE(nettest::SeesEndOfStream(quietPeer));
  EXPECT_EQ(nettest::ReadExactly(livelyPeer, 3), "REQ");
  quiet.Retire();
  lively.Retire();
  for (int fd : {quietPeer, livelyPeer, server}) close(fd);
}

}  // namespace
