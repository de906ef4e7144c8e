#include "platform/completion/CompletionPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Tick.h"
#include "tests/support/LoopbackPeers.h"

namespace pc = platform::completion;

namespace {

using nettest::ReadExactly;

struct TestOp : pc::Overlapped {
  int tag = 0;
};

struct Record {
  int tag;
  uint32_t status;
  uint32_t bytes;
};

// Completions in the order the routines saw them.
std::mutex g_lock;
std::condition_variable g_cv;
std::vector<Record> g_records;
std::thread::id g_poster;
std::atomic<bool> g_ranOnPoster{false};

bool WaitFor(size_t count) {
  std::unique_lock<std::mutex> lock(g_lock);
  return g_cv.wait_for(lock, std::chrono::seconds(10), [&] { return g_records.size() >= count; });
}

std::vector<Record> Records() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_records;
}

void ClearRecords() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_records.clear();
}

void Routine(uint32_t status, uint32_t bytes, pc::Overlapped* overlapped) {
  if (std::this_thread::get_id() == g_poster) g_ranOnPoster.store(true);
  std::lock_guard<std::mutex> guard(g_lock);
  g_records.push_back(Record{static_cast<TestOp*>(overlapped)->tag, status, bytes});
  g_cv.notify_all();
}

// Waits for completion number i (from 0) and checks it.
void ExpectCompletion(size_t i, uint32_t status, uint32_t bytes) {
  ASSERT_TRUE(WaitFor(i + 1));
  EXPECT_EQ(Records()[i].status, status) << i;
  EXPECT_EQ(Records()[i].bytes, bytes) << i;
}

int BoundSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_TRUE(pc::BindIoCompletionCallback(fd, Routine));
  return fd;
}

// Every test must leave no socket, no undelivered operation and no descriptor behind, and
// no routine may have run inside a posting call.
class CompletionPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearRecords();
    g_poster = std::this_thread::get_id();
    g_ranOnPoster.store(false);
    pc::GetStats();  // the proactor's own descriptors exist from here on
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
  // A bound client connected to a plain accepted peer, which is returned.
  int BoundPair(int* client) {
    if (m_server < 0) m_server = nettest::ListenBlocking(&m_port);
    *client = nettest::ConnectBlocking(m_port);
    EXPECT_TRUE(pc::BindIoCompletionCallback(*client, Routine));
    return accept(m_server, nullptr, nullptr);
  }

  int m_descriptorsBefore = 0;
  int m_server = -1;
  uint16_t m_port = 0;
};

// A connect meets an accept, which completes with the connect's data.
TEST_F(CompletionPortTest, ConnectMeetsAcceptAndARefusalIsReported) {
  platform::FreezeTickForTest(5000);
  const int listener = nettest::ListenBlocking(&m_port);
  ASSERT_TRUE(pc::BindIoCompletionCallback(listener, Routine));
  const int accepted = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int client = BoundSocket();
  TestOp acceptOp, connectOp;
  char buffer[1000 + 64];
  ASSERT_EQ(pc::AcceptEx(listener, accepted, buffer, 1000, 32, 32, &acceptOp), 0);
  ASSERT_EQ(pc::ConnectEx(client, nettest::Loopback(m_port), "hello", 5, &connectOp), 0);
  ExpectCompletion(1, pc::kStatusSuccess, 5);
  ExpectCompletion(0, pc::kStatusSuccess, 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");  // the addresses behind it: the server socket test
  platform::AdvanceTickForTest(31000);
  uint32_t seconds = 0;
  ASSERT_EQ(pc::GetConnectTime(client, &seconds), 0);
  EXPECT_EQ(seconds, 31u);
  for (int fd : {client, accepted, listener}) EXPECT_EQ(pc::CloseSocket(fd), 0);

  const int refused = BoundSocket();  // nobody listens any more
  ASSERT_EQ(pc::ConnectEx(refused, nettest::Loopback(m_port), "x", 1, &connectOp), 0);
  ExpectCompletion(2, pc::kStatusConnectionRefused, 0);
  pc::CloseSocket(refused);
}

// A send inside nested batches goes out at once, its completion waits for the outer batch;
// later sends go out and complete in posting order.
TEST_F(CompletionPortTest, BatchHoldsCompletionsAndSendsCompleteInPostingOrder) {
  int client = -1;
  const int peer = BoundPair(&client);
  TestOp early;
  {
    const pc::PostBatch outer;
    {
      const pc::PostBatch inner;
      ASSERT_EQ(pc::Send(client, "ab", 2, &early), 0);
    }
    EXPECT_EQ(ReadExactly(peer, 2), "ab");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(Records().empty());
  }
  ExpectCompletion(0, pc::kStatusSuccess, 2);

  constexpr int kSends = 12;
  constexpr size_t kSize = size_t{256} * 1024;
  std::string payload;
  payload.reserve(kSize * kSends);  // no reallocation under pending sends
  std::vector<TestOp> ops(kSends);
  for (int i = 0; i < kSends; ++i) {
    payload.append(kSize, static_cast<char>('a' + i));
    ops[i].tag = i + 1;
    ASSERT_EQ(pc::Send(client, payload.data() + kSize * i, kSize, &ops[i]), 0);
  }
  EXPECT_TRUE(ReadExactly(peer, kSize * kSends) == payload);
  ASSERT_TRUE(WaitFor(kSends + 1));
  for (int i = 1; i <= kSends; ++i) {
    ExpectCompletion(i, pc::kStatusSuccess, kSize);
    EXPECT_EQ(Records()[i].tag, i);
  }
  pc::CloseSocket(client);
  close(peer);
}

int g_other = -1;
TestOp g_fromRoutine;
std::atomic<bool> g_blocking{false};
std::atomic<bool> g_sawBoth{false};

// Posts on another socket, then waits for that completion: it must be handed to another
// pool thread, not queued behind this routine.
void BlockingRoutine(uint32_t, uint32_t, pc::Overlapped*) {
  pc::Send(g_other, "r", 1, &g_fromRoutine);
  g_blocking.store(true);
  g_sawBoth.store(WaitFor(2));
}

TEST_F(CompletionPortTest, ABusyRoutineHoldsUpNoCompletionOfOtherSockets) {
  int slow = -1;
  const int slowPeer = BoundPair(&slow);
  const int otherPeer = BoundPair(&g_other);
  ASSERT_TRUE(pc::BindIoCompletionCallback(slow, BlockingRoutine));
  TestOp first, second;
  ASSERT_EQ(pc::Send(slow, "s", 1, &first), 0);
  ASSERT_TRUE(nettest::WaitUntil([] { return g_blocking.load(); }));
  ASSERT_EQ(pc::Send(g_other, "t", 1, &second), 0);
  ASSERT_TRUE(nettest::WaitUntil([] { return pc::GetStats().operations == 0; }, 15000));
  EXPECT_TRUE(g_sawBoth.load());
  EXPECT_EQ(ReadExactly(otherPeer, 2), "rt");
  for (int fd : {slow, g_other}) pc::CloseSocket(fd);
  for (int fd : {slowPeer, otherPeer}) close(fd);
}

TEST_F(CompletionPortTest, CloseFromAnotherThreadCancelsEachPendingOperationOnce) {
  m_server = nettest::ListenBlocking(&m_port);
  const int small = 64 * 1024;
  setsockopt(m_server, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  static std::string payload(1 << 20, 'z');
  constexpr int kSends = 6;
  for (int round = 0; round < 20; ++round) {
    ClearRecords();
    int client = -1;
    const int peer = BoundPair(&client);
    setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    std::vector<TestOp> ops(kSends + 1);
    char buffer[128];
    ASSERT_EQ(pc::Recv(client, buffer, sizeof(buffer), &ops[0]), 0);
    for (int i = 1; i <= kSends; ++i) {
      ops[i].tag = i;
      ASSERT_EQ(pc::Send(client, payload.data(), static_cast<uint32_t>(payload.size()), &ops[i]), 0);
    }
    std::thread([client] { pc::CloseSocket(client); }).join();
    ASSERT_TRUE(WaitFor(kSends + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto records = Records();
    ASSERT_EQ(records.size(), static_cast<size_t>(kSends + 1)) << "a completion was delivered twice";
    std::set<int> tags;
    for (const Record& record : records) {
      tags.insert(record.tag);
      if (record.tag == 0 || record.tag == kSends) EXPECT_EQ(record.status, pc::kStatusCancelled);
      else EXPECT_TRUE(record.status == pc::kStatusCancelled || record.status == pc::kStatusSuccess);
    }
    EXPECT_EQ(tags.size(), static_cast<size_t>(kSends + 1));
    EXPECT_EQ(pc::Send(client, "x", 1, &ops[1]), EBADF);
    close(peer);
  }
}

}  // namespace
