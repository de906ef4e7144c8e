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
#include <vector>

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

  CSingletonWindowMgr second;
  second.SetProgramFile(program_);
  EXPECT_EQ(second.CheckRunningInstance(0), 1);  // running: don't start
  EXPECT_FALSE(first.StopEvent().Wait(0));       // and not stopped
  CSingletonWindowMgr stopper;
  stopper.SetProgramFile(program_);
  EXPECT_EQ(stopper.CheckRunningInstance(1), 1);
  EXPECT_TRUE(first.StopEvent().Wait(1000));
  EXPECT_TRUE(fs::exists(lock_));  // the stopper leaves the holder's file alone
}

TEST_F(SingletonTest, StaleLockFileIsReplacedWithoutWaiting) {
  WriteRecord(0x1002, 5, "stale");
  CSingletonWindowMgr mgr;
  mgr.SetProgramFile(program_);
  EXPECT_EQ(mgr.CheckRunningInstance(0), 0);
  EXPECT_EQ(fs::file_size(lock_), 0u);  // recreated, held, record not yet written
}

TEST_F(SingletonTest, UnreadableHeldRecordsCountAsNoInstance) {
  const std::string longName(1500, 'n');
  struct Row {
    uint32_t kind, second;
    std::string tail;
  } rows[] = {{0x1003, 0, ""}, {0x1001, 0, ""}, {0x1002, 20, "short"}, {0x1002, 5000, longName}};
  for (const auto& row : rows) {
    WriteRecord(row.kind, row.second, row.tail);
    const int fd = Hold();
    CSingletonWindowMgr stopper;
    stopper.SetProgramFile(program_);
    EXPECT_EQ(stopper.CheckRunningInstance(1), 1) << row.kind;  // opened, unreadable, stop mode
    CSingletonWindowMgr starter;
    starter.SetProgramFile(program_);
    EXPECT_EQ(starter.CheckRunningInstance(0), 1) << row.kind;
    close(fd);
  }
  WriteRecord(0x1001, 0x1234, std::string("\x10\0\0\0", 4));
  const int fd = Hold();
  CSingletonWindowMgr mgr;
  mgr.SetProgramFile(program_);
  EXPECT_EQ(mgr.CheckRunningInstance(0), 1);
  close(fd);
}

TEST_F(SingletonTest, ReleaseDeletesOnlyTheHoldersFile) {
  {
    CSingletonWindowMgr mgr;
    mgr.SetProgramFile(program_);
    ASSERT_EQ(mgr.CheckRunningInstance(0), 0);
    mgr.RegisterInstance(nullptr, "unit-release");
  }
  EXPECT_FALSE(fs::exists(lock_));
}

TEST_F(SingletonTest, RacingStartsNeverHoldTheLockTwice) {
  struct Shared {
    std::atomic<int> holders, overlaps, wins;
  };
  void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  auto* shared = new (memory) Shared{};
  for (int round = 0; round < 20; ++round) {
    WriteRecord(0x1002, 5, "stale");  // a crashed instance's file
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> racers;
    for (int r = 0; r < 4; ++r) {
      const pid_t pid = fork();
      if (pid == 0) {
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
      racers.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : racers) {
      int status = 0;
      EXPECT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_EQ(status, 0);
    }
  }
  EXPECT_EQ(shared->overlaps.load(), 0);
  EXPECT_GT(shared->wins.load(), 20);  // the lock did change hands
  EXPECT_FALSE(fs::exists(lock_));     // the last holder removed its file
  munmap(memory, sizeof(Shared));
}
