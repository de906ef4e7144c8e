#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "media/SnapshotWorker.h"
#include "media/ViewerQueue.h"
#include "tests/net/NetTestSupport.h"

namespace {

using nettest::WaitUntil;

struct GatedPictures {
  int Take(char* outName, const char* size, int channel) {
    std::unique_lock<std::mutex> lock(m_lock);
    const int n = ++started;
    asked.push_back(std::to_string(channel) + (size ? size : "full"));
    m_cv.wait(lock, [&] { return allowed >= n; });
    if (fail) return 0;
    std::snprintf(outName, 260, "/tmp/vt_snapshot_test_%d_%d.jpg", static_cast<int>(getpid()), n);
    std::ofstream(outName) << "pic" << n;
    files.push_back(outName);
    return 1;
  }
  void Allow(int n) {
    std::lock_guard<std::mutex> guard(m_lock);
    allowed = n;
    m_cv.notify_all();
  }
  std::mutex m_lock;
  std::condition_variable m_cv;
  std::atomic<int> started{0};
  int allowed = 0;
  bool fail = false;
  std::vector<std::string> asked, files;
};

struct Client : ISnapshotClient {
  void OnSnapshot(const std::shared_ptr<const SnapshotPicture>& picture, uint32_t) override {
    got = picture->taken ? picture->bytes : "failed";
    done.store(true);
  }
  std::atomic<bool> done{false};
  std::string got;
};

class SnapshotWorkerTest : public ::testing::Test {
 protected:
  GatedPictures m_pictures;
  CSnapshotWorker m_worker{[this](char* out, const char* size, int ch) { return m_pictures.Take(out, size, ch); }};
  Client m_clients[4];
  std::vector<std::string> Got() {
    std::vector<std::string> got;
    for (Client& c : m_clients) got.push_back(c.got);
    return got;
  }
};

TEST_F(SnapshotWorkerTest, RequestsDuringAConversionShareIt) {
  m_worker.Request(&m_clients[0], 0, false, 1);
  ASSERT_TRUE(WaitUntil([&] { return m_pictures.started.load() == 1; }));
  m_worker.Request(&m_clients[1], 0, false, 1);  // joins the running one
  m_worker.Request(&m_clients[2], 0, true, 1);   // another size: the next conversion
  m_worker.Request(&m_clients[3], 1, false, 1);  // another channel: one more
  m_pictures.Allow(3);
  ASSERT_TRUE(WaitUntil([&] { return m_clients[3].done.load(); }));
  EXPECT_EQ(Got(), (std::vector<std::string>{"pic1", "pic1", "pic2", "pic3"}));
  EXPECT_EQ(m_pictures.asked, (std::vector<std::string>{"0full", "0qcif", "1full"}));
  for (const std::string& file : m_pictures.files) EXPECT_NE(access(file.c_str(), F_OK), 0) << file;
}

TEST_F(SnapshotWorkerTest, CancelledClientsGetNothingAndAFailureReachesEveryoneWaiting) {
  m_pictures.fail = true;
  m_worker.Request(&m_clients[0], 0, false, 1);
  ASSERT_TRUE(WaitUntil([&] { return m_pictures.started.load() == 1; }));
  m_worker.Request(&m_clients[1], 0, false, 1);
  m_worker.Request(&m_clients[2], 0, false, 1);
  m_worker.Request(&m_clients[3], 0, true, 1);
  m_worker.Cancel(&m_clients[1]);  // sharing the running one
  m_worker.Cancel(&m_clients[3]);  // still queued
  m_pictures.Allow(5);
  ASSERT_TRUE(WaitUntil([&] { return m_clients[2].done.load(); }));
  EXPECT_EQ(m_worker.Conversions(), 1);
  EXPECT_EQ(Got(), (std::vector<std::string>{"failed", "", "failed", ""}));
}

TEST(ViewerQueueTest, VerdictsAtTheLimits) {
  const ViewerQueueLimits limits;  // 4 MiB, 5 s behind
  const std::tuple<int64_t, uint32_t, ViewerVerdict> rows[] = {
      {0, 100000, ViewerVerdict::kSend},  // nothing queued is never stalled
      {1, 4999, ViewerVerdict::kSend},
      {1, 5000, ViewerVerdict::kSkip},
      {4 << 20, 0, ViewerVerdict::kSend},
      {(4 << 20) + 1, 0, ViewerVerdict::kSkip},
  };
  for (const auto& [queued, stalledMs, verdict] : rows)
    EXPECT_EQ(JudgeViewerQueue(limits, queued, stalledMs), verdict) << queued << " B, " << stalledMs;
}

}  // namespace
