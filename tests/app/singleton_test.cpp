#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "app/SingletonWindowMgr.h"
#include "gtest/gtest.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

class SingletonTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(dir_); }
  void WriteRecord(uint32_t kind, uint32_t second, const std::string& tail) {
    const uint32_t head[2] = {kind, second};
    testfiles::WriteFile(lock_, std::string(reinterpret_cast<const char*>(head), 8) + tail);
  }
  // A second start (stop 0) or a -stop run (stop 1) while the first holds the lock.
  int Check(int stop) {
    CSingletonWindowMgr mgr;
    mgr.SetProgramFile(program_);
    return mgr.CheckRunningInstance(stop);
  }
  std::string dir_ = testfiles::MakeTempDir("vtsingle"), program_ = dir_ + "VantorHomeCamera";
  std::string lock_ = program_ + "._lock";
};

TEST_F(SingletonTest, RegisterWritesAnEventRecordAndStopReachesIt) {
  CSingletonWindowMgr first;
  first.SetProgramFile(program_);
  ASSERT_EQ(first.CheckRunningInstance(0), 0);
  EXPECT_EQ(first.RegisterInstance(nullptr, "unit-stop-event"), 1);
  EXPECT_EQ(testfiles::ReadFile(lock_), std::string("\x02\x10\0\0\x0f\0\0\0unit-stop-event", 23));

  EXPECT_EQ(Check(1), 1);  // a -stop run: the holder's event is set
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
    const int fd = open(lock_.c_str(), O_RDWR);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
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
          CSingletonWindowMgr mgr;  // holds the lock while it lives
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
