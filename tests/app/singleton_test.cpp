#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/CameraApp.h"
#include "app/SingletonWindowMgr.h"
#include "gtest/gtest.h"

namespace fs = std::filesystem;

class SingletonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vtsingleXXXXXX";
    dir_ = mkdtemp(tmpl);
    program_ = dir_ + "/VantorHomeCamera";
    lock_ = program_ + "._lock";
  }
  void TearDown() override { fs::remove_all(dir_); }
  void WriteRecord(uint32_t kind, uint32_t second, const std::string& tail) {
    std::ofstream out(lock_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&kind), 4);
    out.write(reinterpret_cast<const char*>(&second), 4);
    out << tail;
  }
  // A second start (stop 0) or a -stop run (stop 1) while the first holds the lock.
  int Check(int stop) {
    CSingletonWindowMgr mgr;
    mgr.SetProgramFile(program_);
    return mgr.CheckRunningInstance(stop);
  }
  int Hold() {
    const int fd = open(lock_.c_str(), O_RDWR);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    return fd;
  }
  std::string dir_, program_, lock_;
};

TEST_F(SingletonTest, RegisterWritesAnEventRecordAndStopReachesIt) {
  CSingletonWindowMgr first;
  first.SetProgramFile(program_);
  ASSERT_EQ(first.CheckRunningInstance(0), 0);
  EXPECT_EQ(first.RegisterInstance(nullptr, "unit-stop-event"), 1);
  std::ifstream in(lock_, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(bytes, std::string("\x02\x10\0\0\x0f\0\0\0unit-stop-event", 23));

  EXPECT_EQ(Check(0), 1);                   // running: don't start
  EXPECT_FALSE(first.StopEvent().Wait(0));  // and not stopped
  EXPECT_EQ(Check(1), 1);
  EXPECT_TRUE(first.StopEvent().Wait(1000));
  EXPECT_TRUE(fs::exists(lock_));  // the stopper leaves the holder's file alone
}

// A stale file of a killed instance and the holder's file removed at its end: system tests.
TEST_F(SingletonTest, UnreadableHeldRecordsCountAsRunning) {
  const struct { uint32_t kind, second; std::string tail; int stopMode; } rows[] = {
      {0x1003, 0, "", 1}, {0x1001, 0, "", 1}, {0x1002, 20, "short", 1}, {0x1002, 5000, std::string(1500, 'n'), 1},
      {0x1001, 0x1234, std::string("\x10\0\0\0", 4), 0}};
  for (const auto& row : rows) {
    WriteRecord(row.kind, row.second, row.tail);
    const int fd = Hold();
    for (int stop = row.stopMode; stop >= 0; --stop) EXPECT_EQ(Check(stop), 1) << row.kind << " stop " << stop;
    close(fd);
  }
}

TEST_F(SingletonTest, RacingStartsNeverHoldTheLockTwice) {
  struct Shared { std::atomic<int> holders, overlaps, wins; };
  void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  auto* shared = new (memory) Shared{};
  for (int round = 0; round < 20; ++round) {
    WriteRecord(0x1002, 5, "stale");  // a crashed instance's file
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    for (int r = 0; r < 4; ++r) {
      if (fork() == 0) {
        close(gate[1]);
        char c;
        (void)!read(gate[0], &c, 1);  // all go at once when the gate closes
        for (int i = 0; i < 300; ++i) {
          CSingletonWindowMgr mgr;
          mgr.SetProgramFile(program_);
          if (mgr.CheckRunningInstance(0) != 0) continue;
          if (shared->holders.fetch_add(1) != 0) shared->overlaps.fetch_add(1);
          shared->wins.fetch_add(1);
          usleep(50);
          shared->holders.fetch_sub(1);
        }
        _exit(0);
      }
    }
    close(gate[0]);
    close(gate[1]);
    for (int status = 0; wait(&status) > 0;) EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(shared->overlaps.load(), 0);
  EXPECT_GT(shared->wins.load(), 20);  // the lock did change hands
  EXPECT_FALSE(fs::exists(lock_));     // the last holder removed its file
  munmap(memory, sizeof(Shared));
}
