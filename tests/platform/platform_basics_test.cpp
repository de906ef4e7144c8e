#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/LockFile.h"
#include "platform/NamedEvent.h"
#include "platform/Process.h"
#include "platform/RegistryKey.h"
#include "platform/TempName.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;
using namespace platform;
using testfiles::MakeTempDir;

TEST(Process, RunsWaitsAndReportsExitCodes) {
  CProcess p;
  ASSERT_TRUE(p.Start("/bin/sh", R"(sh -c "exit 7")", ConsoleMode::Hidden));
  int code = -1;
  EXPECT_EQ(p.Wait(5000, &code), CProcess::WaitResult::Exited);
  EXPECT_EQ(code, 7);

  CProcess sleeper;
  ASSERT_TRUE(sleeper.Start("", "sleep 5", ConsoleMode::Hidden));
  EXPECT_EQ(sleeper.Wait(50, &code), CProcess::WaitResult::TimedOut);
  sleeper.Kill(9);
  EXPECT_EQ(sleeper.Wait(5000, &code), CProcess::WaitResult::Exited);
  EXPECT_EQ(code, 128 + 9);

  std::string error;
  EXPECT_FALSE(CProcess().Start("/nonexistent/prog", "prog", ConsoleMode::Hidden, &error));
  EXPECT_NE(error.find("/nonexistent/prog"), std::string::npos);
}

TEST(Process, ChildOutlivingItsObjectIsReaped) {
  // The second child is handed over while the reaper already waits for the first.
  pid_t pids[2];
  for (int i = 0; i < 2; ++i) {
    CProcess p;
    ASSERT_TRUE(p.Start("", i == 0 ? "sleep 3" : "sleep 0.2", ConsoleMode::Hidden));
    pids[i] = p.Pid();
  }
  const auto gone = [](pid_t pid) { return !fs::exists("/proc/" + std::to_string(pid)); };
  for (int i = 0; i < 100 && !gone(pids[1]); ++i) usleep(20000);
  EXPECT_TRUE(gone(pids[1]));
  EXPECT_FALSE(gone(pids[0]));
  for (int i = 0; i < 200 && !gone(pids[0]); ++i) usleep(20000);
  EXPECT_TRUE(gone(pids[0]));
}

TEST(TempName, FormsAndReservesNames) {
  const std::string dir = MakeTempDir("vtplat");
  std::string name, other;
  EXPECT_EQ(GetTempFileName(dir, "vtsnap", 0x12345u, &name), 0x12345u);
  EXPECT_EQ(name, dir + "vts2345.tmp");
  EXPECT_FALSE(fs::exists(name));  // a given number only forms the name
  ASSERT_NE(GetTempFileName(dir, "vtc", 0, &name), 0u);
  ASSERT_NE(GetTempFileName(dir, "vtc", 0, &other), 0u);
  EXPECT_NE(name, other);
  EXPECT_EQ(fs::file_size(name), 0u) << "a chosen number reserves the name";
  fs::remove_all(dir);
}

TEST(NamedEvent, AutoResetAcrossHandles) {
  CNamedEvent owner, other;
  const std::string name = "test-event-" + std::to_string(getpid());
  ASSERT_TRUE(owner.Create(name));
  ASSERT_TRUE(other.Open(name));
  EXPECT_FALSE(owner.Wait(10));
  EXPECT_TRUE(other.Set() && other.Set());  // setting a set event leaves it set once
  EXPECT_TRUE(owner.Wait(1000));
  EXPECT_FALSE(owner.Wait(10));  // reset by the first wait

  std::thread setter([&] {
    usleep(20000);
    other.Set();
  });
  EXPECT_TRUE(owner.Wait(UINT32_MAX));
  setter.join();
  owner.Close();
  CNamedEvent late;
  EXPECT_FALSE(late.Open(name));  // the creator removed the name
}

TEST(LockFile, DeleteFailsExactlyWhileHeld) {
  const std::string dir = MakeTempDir("vtplat");
  const std::string path = dir + "prog._lock";
  EXPECT_TRUE(TryDeleteLockFile(path));  // absent counts as deleted
  const int fd = CreateLockFile(path);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(TryDeleteLockFile(path));
  EXPECT_TRUE(fs::exists(path));
  EXPECT_LT(CreateLockFile(path), 0);
  ReleaseLockFile(fd, path);
  EXPECT_FALSE(fs::exists(path));

  std::ofstream(path) << "stale";
  EXPECT_TRUE(TryDeleteLockFile(path));
  EXPECT_FALSE(fs::exists(path));
  fs::remove_all(dir);
}

TEST(RegistryKey, KeepsStringsAndBinaryApart) {
  const std::string dir = MakeTempDir("vtplat");
  CRegistryKey::SetRoot(dir);
  {
    CRegistryKey key;
    ASSERT_TRUE(key.Open("Software\\Norvane\\Test"));
    EXPECT_TRUE(key.SetString("Text", "a=b\nc\\d"));
    EXPECT_TRUE(key.SetString("k=v", "x"));  // "=" in a name is escaped too
    const uint32_t four = 0x01020304;
    EXPECT_TRUE(key.SetBinary("Four", &four, 4));
  }
  CRegistryKey key;
  ASSERT_TRUE(key.Open("Software\\Norvane\\Test"));
  char buf[16];
  uint32_t size = sizeof(buf);
  CRegistryKey::Type type;
  ASSERT_TRUE(key.QueryValue("Text", buf, &size, &type));
  EXPECT_EQ(type, CRegistryKey::Type::String);
  EXPECT_EQ(size, 8u);  // text and its terminator
  EXPECT_STREQ(buf, "a=b\nc\\d");
  uint32_t value = 0;
  size = 4;
  ASSERT_TRUE(key.QueryValue("Four", &value, &size, &type));
  EXPECT_EQ(type, CRegistryKey::Type::Binary);
  EXPECT_EQ(value, 0x01020304u);
  size = sizeof(buf);
  ASSERT_TRUE(key.QueryValue("k=v", buf, &size));
  EXPECT_STREQ(buf, "x");
  size = 4;
  EXPECT_FALSE(key.QueryValue("Text", buf, &size));  // too small: fails, tells the size
  EXPECT_EQ(size, 8u);
  EXPECT_FALSE(key.QueryValue("Missing", buf, &size));
  CRegistryKey::SetRoot("");
  fs::remove_all(dir);
}
