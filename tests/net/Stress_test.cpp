#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/IOCPServerSocket.h"
#include "tests/net/NetTestSupport.h"

namespace {

namespace pc = platform::completion;

constexpr int kPoolSize = 15;

SharedReference g_bannerReference;
const std::string g_banner(2048, 'B');

// Greets every connection with a shared banner, then echoes.
class EchoSession : public CIOCPServerSocket {
 public:
  ~EchoSession() override { Retire(); }
  int ProcessRecvBuffer() override {
    if (!m_greeted.exchange(true) && Send(g_banner.data(), static_cast<int>(g_banner.size()), &g_bannerReference) != 1)
      return 0;
    int length = 0;
    char* data = m_pRecvBuffer->GetData(&length);
    const int sent = Send(data, length);
    m_pRecvBuffer->Consume(length);
    return sent;
  }
  void OnDestroy() override { m_greeted.store(false); }

 private:
  std::atomic<bool> m_greeted{false};
};

TEST(NetStressTest, ThousandsOfConnectionsAgainstAPoolOf15) {
  nettest::LogCapture::Instance();
  pc::GetStats();  // the proactor's own descriptor exists before counting
  const int descriptorsBefore = nettest::OpenDescriptors();
  const int packagesBefore = SendPackage::LiveCount();
  {
    nettest::Listener listener;
    ASSERT_TRUE(listener.Ok());
    std::vector<std::unique_ptr<EchoSession>> pool;
    for (int i = 0; i < kPoolSize; ++i) {
      pool.push_back(std::make_unique<EchoSession>());
      pool.back()->SetListener(&listener);
      ASSERT_EQ(pool.back()->AcceptFrom(), 1);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
      clients.emplace_back([&, t] {
        for (int i = 0; i < 600; ++i) {  // per client thread
          const int fd = nettest::ConnectBlocking(listener.Port());
          // Every tenth leaves before its first byte; the others send 1 to 20000 bytes.
          std::string payload(i % 10 == 9 ? 0 : 1 + (i * 7919 + t * 104729) % 20000, '\0');
          for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>(k * 31 + i);
          if (fd < 0 || (!payload.empty() && !(nettest::SendAll(fd, payload) &&
                                                nettest::ReadExactly(fd, g_banner.size() + payload.size()) ==
                                                    g_banner + payload)))
            failures.fetch_add(1);
          if (fd >= 0) close(fd);
        }
      });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(failures.load(), 0);

    ASSERT_TRUE(nettest::WaitUntil([&] {
      for (auto& session : pool)
        if (session->GetState() != CIOCPSocket::kAccepting || session->GetPending() != 0) return false;
      return !g_bannerReference.IsReferenced() && pc::GetStats().operations == kPoolSize;
    }));
    EXPECT_EQ(SendPackage::LiveCount(), packagesBefore);
    EXPECT_EQ(pc::GetStats().sockets, kPoolSize + 1);  // the listener and one socket per session
    for (auto& session : pool) session->Retire();
    listener.Retire();
  }
  EXPECT_EQ(pc::GetStats().sockets, 0);
  EXPECT_TRUE(nettest::WaitUntil([] { return pc::GetStats().operations == 0; }));
  EXPECT_EQ(nettest::OpenDescriptors(), descriptorsBefore);
}

}  // namespace
