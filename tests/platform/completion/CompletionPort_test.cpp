#include "platform/completion/CompletionPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Tick.h"
#include "tests/support/LoopbackPeers.h"

namespace pc = platform::completion;

namespace {

using nettest::ConnectBlocking;
using nettest::ReadExactly;

struct TestOp : pc::Overlapped {
  int tag = 0;
};

struct Record {
  int tag;
  uint32_t status;
  uint32_t bytes;
};

class Collector {
 public:
  void Add(const Record& record) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_records.push_back(record);
    }
    m_cv.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_records.size() >= count; });
  }
  std::vector<Record> Records() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_records;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_records.clear();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_cv;
  std::vector<Record> m_records;
};

Collector* g_collector = nullptr;
std::thread::id g_poster;
std::atomic<bool> g_ranOnPoster{false};

void Routine(uint32_t status, uint32_t bytes, pc::Overlapped* overlapped) {
  if (std::this_thread::get_id() == g_poster) g_ranOnPoster.store(true);
  g_collector->Add(Record{static_cast<TestOp*>(overlapped)->tag, status, bytes});
}

int TcpSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

class CompletionPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_collector = &m_collector;
    g_poster = std::this_thread::get_id();
    g_ranOnPoster.store(false);
    pc::GetStats();  // the proactor's own epoll descriptor exists from here on
    m_descriptorsBefore = nettest::OpenDescriptors();
  }
  void TearDown() override {
    EXPECT_TRUE(nettest::WaitUntil([] { return pc::GetStats().operations == 0; }));
    EXPECT_EQ(pc::GetStats().sockets, 0);
    EXPECT_FALSE(g_ranOnPoster.load());
    if (m_server >= 0) close(m_server);
    EXPECT_EQ(nettest::OpenDescriptors(), m_descriptorsBefore);
    platform::ResetTickForTest();
  }
  void ArmAccept(uint32_t receiveLength) {
    m_listener = nettest::ListenBlocking(&m_port);
    ASSERT_TRUE(pc::BindIoCompletionCallback(m_listener, Routine));
    m_accepted = TcpSocket();
    m_acceptOp.tag = 1;
    ASSERT_EQ(pc::AcceptEx(m_listener, m_accepted, m_buffer, receiveLength, 32, 32, &m_acceptOp), 0);
  }
  int BoundPair(int* client) {
    if (m_server < 0) m_server = nettest::ListenBlocking(&m_port);
    *client = ConnectBlocking(m_port);
    EXPECT_TRUE(pc::BindIoCompletionCallback(*client, Routine));
    return accept(m_server, nullptr, nullptr);
  }

  Collector m_collector;
  int m_descriptorsBefore = 0;
  int m_listener = -1;
  int m_accepted = -1;
  int m_server = -1;
  uint16_t m_port = 0;
  TestOp m_acceptOp;
  char m_buffer[4096] = {};
};

TEST_F(CompletionPortTest, AcceptCompletesWithFirstDataAndAddresses) {
  platform::FreezeTickForTest(5000);
  ArmAccept(1000);
  const int client = ConnectBlocking(m_port);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(m_collector.Records().empty());
  uint32_t seconds = 0;
  platform::AdvanceTickForTest(31000);
  ASSERT_EQ(pc::GetConnectTime(m_accepted, &seconds), 0);
  EXPECT_EQ(seconds, 31u);

  ASSERT_EQ(send(client, "hello", 5, 0), 5);
  ASSERT_TRUE(m_collector.WaitFor(1));
  const Record record = m_collector.Records()[0];
  EXPECT_EQ(record.tag, 1);
  EXPECT_EQ(record.status, pc::kStatusSuccess);
  EXPECT_EQ(record.bytes, 5u);
  EXPECT_EQ(std::string(m_buffer, 5), "hello");
  sockaddr_in local{}, remote{};
  pc::GetAcceptExSockaddrs(m_buffer, 1000, 32, 32, &local, &remote);
  EXPECT_EQ(ntohs(remote.sin_port), nettest::LocalPort(client));
  EXPECT_EQ(ntohs(local.sin_port), m_port);
  EXPECT_EQ(ntohl(remote.sin_addr.s_addr), INADDR_LOOPBACK);

  ASSERT_TRUE(pc::BindIoCompletionCallback(m_accepted, Routine));
  TestOp sendOp;
  ASSERT_EQ(pc::Send(m_accepted, "world", 5, &sendOp), 0);
  EXPECT_EQ(ReadExactly(client, 5), "world");
  ASSERT_TRUE(m_collector.WaitFor(2));
  close(client);
  EXPECT_EQ(pc::CloseSocket(m_accepted), 0);
  EXPECT_EQ(pc::CloseSocket(m_listener), 0);
}

TEST_F(CompletionPortTest, ConnectSendsItsDataAndRefusalIsReported) {
  const int server = nettest::ListenBlocking(&m_port);
  const int client = TcpSocket();
  ASSERT_TRUE(pc::BindIoCompletionCallback(client, Routine));
  TestOp connectOp, recvOp;
  ASSERT_EQ(pc::ConnectEx(client, nettest::Loopback(m_port), "GET / HTTP/1.1\r\n", 16, &connectOp), 0);
  const int peer = accept(server, nullptr, nullptr);
  EXPECT_EQ(ReadExactly(peer, 16), "GET / HTTP/1.1\r\n");
  ASSERT_TRUE(m_collector.WaitFor(1));
  EXPECT_EQ(m_collector.Records()[0].status, pc::kStatusSuccess);
  EXPECT_EQ(m_collector.Records()[0].bytes, 16u);
  uint32_t seconds = 99;
  ASSERT_EQ(pc::GetConnectTime(client, &seconds), 0);
  EXPECT_EQ(seconds, 0u);

  char buffer[64];
  ASSERT_EQ(pc::Recv(client, buffer, sizeof(buffer), &recvOp), 0);
  send(peer, "HTTP/1.1 200 OK", 15, 0);
  ASSERT_TRUE(m_collector.WaitFor(2));
  EXPECT_EQ(m_collector.Records()[1].bytes, 15u);
  ASSERT_EQ(pc::Recv(client, buffer, sizeof(buffer), &recvOp), 0);
  close(peer);
  ASSERT_TRUE(m_collector.WaitFor(3));
  EXPECT_EQ(m_collector.Records()[2].status, pc::kStatusSuccess);
  EXPECT_EQ(m_collector.Records()[2].bytes, 0u);
  pc::CloseSocket(client);

  close(server);  // nobody listens any more: the refusal arrives as a completion
  const int refused = TcpSocket();
  ASSERT_TRUE(pc::BindIoCompletionCallback(refused, Routine));
  ASSERT_EQ(pc::ConnectEx(refused, nettest::Loopback(m_port), "x", 1, &connectOp), 0);
  ASSERT_TRUE(m_collector.WaitFor(4));
  EXPECT_EQ(m_collector.Records()[3].status, pc::kStatusConnectionRefused);
  pc::CloseSocket(refused);
}

TEST_F(CompletionPortTest, SendsGoOutAndCompleteInPostingOrder) {
  int client = -1;
  const int peer = BoundPair(&client);
  TestOp ping;
  ping.tag = 99;
  ASSERT_EQ(pc::Send(client, "ping", 4, &ping), 0);
  ASSERT_TRUE(m_collector.WaitFor(1));
  EXPECT_EQ(ReadExactly(peer, 4), "ping");
  m_collector.Clear();

  constexpr int kSends = 12;
  constexpr size_t kSize = size_t{256} * 1024;
  std::vector<std::string> payloads;
  std::vector<TestOp> ops(kSends);
  for (int i = 0; i < kSends; ++i) {
    payloads.emplace_back(kSize, static_cast<char>('a' + i));
    ops[i].tag = i;
    ASSERT_EQ(pc::Send(client, payloads[i].data(), kSize, &ops[i]), 0);
  }
  const std::string received = ReadExactly(peer, kSize * kSends);
  ASSERT_EQ(received.size(), kSize * kSends);
  ASSERT_TRUE(m_collector.WaitFor(kSends));
  const auto records = m_collector.Records();
  for (int i = 0; i < kSends; ++i) {
    EXPECT_EQ(received.compare(kSize * i, kSize, payloads[i]), 0) << "payload " << i;
    EXPECT_EQ(records[i].tag, i);
    EXPECT_EQ(records[i].status, pc::kStatusSuccess);
    EXPECT_EQ(records[i].bytes, kSize);
  }
  pc::CloseSocket(client);
  close(peer);
}

int g_other = -1;
TestOp g_fromRoutine;
std::atomic<bool> g_blocking{false};
std::atomic<bool> g_sawBoth{false};

void BlockingRoutine(uint32_t, uint32_t, pc::Overlapped*) {
  g_fromRoutine.tag = 8;
  pc::Send(g_other, "r", 1, &g_fromRoutine);
  g_blocking.store(true);
  g_sawBoth.store(g_collector->WaitFor(2));
}

TEST_F(CompletionPortTest, ABusyRoutineHoldsUpNoCompletionOfOtherSockets) {
  uint16_t port = 0;
  const int server = nettest::ListenBlocking(&port);
  const int slow = ConnectBlocking(port);
  const int slowPeer = accept(server, nullptr, nullptr);
  g_other = ConnectBlocking(port);
  const int otherPeer = accept(server, nullptr, nullptr);
  ASSERT_TRUE(pc::BindIoCompletionCallback(slow, BlockingRoutine));
  ASSERT_TRUE(pc::BindIoCompletionCallback(g_other, Routine));
  TestOp first, second;
  second.tag = 9;
  ASSERT_EQ(pc::Send(slow, "s", 1, &first), 0);
  ASSERT_TRUE(nettest::WaitUntil([] { return g_blocking.load(); }));
  ASSERT_EQ(pc::Send(g_other, "t", 1, &second), 0);
  ASSERT_TRUE(nettest::WaitUntil([] { return pc::GetStats().operations == 0; }, 15000));
  EXPECT_TRUE(g_sawBoth.load());
  EXPECT_EQ(ReadExactly(otherPeer, 2), "rt");
  for (int fd : {slow, g_other}) pc::CloseSocket(fd);
  for (int fd : {slowPeer, otherPeer, server}) close(fd);
}

TEST_F(CompletionPortTest, BatchHoldsInlineCompletionsUntilTheOuterBatchCloses) {
  constexpr int kSockets = 3;
  int clients[kSockets];
  int peers[kSockets];
  TestOp ops[kSockets * 2];
  {
    const pc::PostBatch outer;
    {
      const pc::PostBatch inner;
      for (int i = 0; i < kSockets; ++i) {
        peers[i] = BoundPair(&clients[i]);
        for (int k = 0; k < 2; ++k) {
          ops[i * 2 + k].tag = i * 2 + k;
          ASSERT_EQ(pc::Send(clients[i], "ab", 2, &ops[i * 2 + k]), 0);
        }
      }
    }
    for (int i = 0; i < kSockets; ++i) EXPECT_EQ(ReadExactly(peers[i], 4), "abab");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(m_collector.Records().empty());
  }
  ASSERT_TRUE(m_collector.WaitFor(size_t{kSockets} * 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto records = m_collector.Records();
  ASSERT_EQ(records.size(), static_cast<size_t>(kSockets * 2));
  std::map<int, std::vector<int>> perSocket;
  for (const Record& record : records) {
    EXPECT_EQ(record.status, pc::kStatusSuccess);
    perSocket[record.tag / 2].push_back(record.tag);
  }
  for (int i = 0; i < kSockets; ++i) {
    EXPECT_EQ(perSocket[i], (std::vector<int>{i * 2, i * 2 + 1}));
    pc::CloseSocket(clients[i]);
    close(peers[i]);
  }
}

TEST_F(CompletionPortTest, CloseFromAnotherThreadCancelsEachPendingOperationOnce) {
  m_server = nettest::ListenBlocking(&m_port);
  const int small = 64 * 1024;
  setsockopt(m_server, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  static std::string payload(1 << 20, 'z');
  constexpr int kSends = 6;
  for (int round = 0; round < 20; ++round) {
    m_collector.Clear();
    int client = -1;
    const int peer = BoundPair(&client);
    setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    std::vector<TestOp> ops(kSends + 1);
    char buffer[128];
    ops[0].tag = 100;
    ASSERT_EQ(pc::Recv(client, buffer, sizeof(buffer), &ops[0]), 0);
    for (int i = 1; i <= kSends; ++i) {
      ops[i].tag = i;
      ASSERT_EQ(pc::Send(client, payload.data(), static_cast<uint32_t>(payload.size()), &ops[i]), 0);
    }
    std::thread([client] { pc::CloseSocket(client); }).join();
    ASSERT_TRUE(m_collector.WaitFor(kSends + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto records = m_collector.Records();
    ASSERT_EQ(records.size(), static_cast<size_t>(kSends + 1)) << "a completion was delivered twice";
    std::set<int> tags;
    for (const Record& record : records) {
      tags.insert(record.tag);
      if (record.tag == 100 || record.tag == kSends) EXPECT_EQ(record.status, pc::kStatusCancelled);
      else EXPECT_TRUE(record.status == pc::kStatusCancelled || record.status == pc::kStatusSuccess);
    }
    EXPECT_EQ(tags.size(), static_cast<size_t>(kSends + 1));
    EXPECT_EQ(pc::Send(client, "x", 1, &ops[1]), EBADF);
    close(peer);
  }
}

}  // namespace
