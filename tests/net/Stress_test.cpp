#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/IOCPServerSocket.h"
#include "tests/net/NetTestSupport.h"

namespace {

using nettest::WaitUntil;
namespace pc = platform::completion;

constexpr int kPoolSize = 15;
constexpr int kClientThreads = 4;
constexpr int kConnectionsPerThread = 600;
constexpr size_t kBannerSize = 2048;

SharedReference g_bannerReference;
std::string g_banner;

class EchoSession : public CIOCPServerSocket {
 public:
  ~EchoSession() override { Retire(); }
  int ProcessRecvBuffer() override {
    if (!m_greeted.exchange(true) &&
        Send(g_banner.data(), static_cast<int>(g_banner.size()), &g_bannerReference) != 1)
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

std::string Payload(uint32_t seed) {
  std::mt19937 random(seed);
  std::string data(1 + random() % 20000, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

TEST(NetStressTest, ThousandsOfConnectionsAgainstAPoolOf15) {
  nettest::LogCapture::Instance();
  g_banner.resize(kBannerSize);
  for (size_t i = 0; i < kBannerSize; ++i) g_banner[i] = static_cast<char>('A' + i % 26);
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

    std::atomic<int> intact{0}, silent{0}, failures{0};
    std::vector<std::thread> clients;
    clients.reserve(kClientThreads);
    for (int t = 0; t < kClientThreads; ++t) {
      clients.emplace_back([&, t] {
        for (int i = 0; i < kConnectionsPerThread; ++i) {
          const int fd = nettest::ConnectBlocking(listener.Port());
          if (fd < 0) {
            failures.fetch_add(1);
            continue;
          }
          if (i % 10 == 9) {  // leaves before its first byte
            close(fd);
            silent.fetch_add(1);
            continue;
          }
          const std::string payload = Payload(static_cast<uint32_t>(t * 100000 + i));
          const bool sent = nettest::SendAll(fd, payload);
          const std::string answer = nettest::ReadExactly(fd, kBannerSize + payload.size());
          if (sent && answer == g_banner + payload) intact.fetch_add(1);
          else failures.fetch_add(1);
          close(fd);
        }
      });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(intact.load() + silent.load(), kClientThreads * kConnectionsPerThread);

    ASSERT_TRUE(WaitUntil([&] {
      for (auto& session : pool) {
        if (session->GetState() != CIOCPSocket::kAccepting || session->GetPending() != 0) return false;
      }
      return !g_bannerReference.IsReferenced() && pc::GetStats().operations == kPoolSize;
    }));
    EXPECT_EQ(SendPackage::LiveCount(), packagesBefore);
    const pc::Stats armed = pc::GetStats();
    EXPECT_EQ(armed.sockets, kPoolSize + 1);     // the listener and one socket per session
    EXPECT_EQ(armed.operations, kPoolSize);      // one accept per session
    for (auto& session : pool) session->Retire();
    listener.Retire();
  }
  EXPECT_EQ(pc::GetStats().sockets, 0);
  EXPECT_TRUE(WaitUntil([] { return pc::GetStats().operations == 0; }));
  EXPECT_EQ(nettest::OpenDescriptors(), descriptorsBefore);
}

}  // namespace
