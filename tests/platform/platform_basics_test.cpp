#include <unistd.h>

#include <filesystem>
#include <string>

#include "gtest/gtest.h"
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

// A name and a value holding "=", a line break and a backslash survive a reopen; types stay apart.
TEST(RegistryKey, KeepsEscapedStringsAndBinaryApart) {
  const std::string dir = MakeTempDir("vtplat");
  CRegistryKey::SetRoot(dir);
  {
    CRegistryKey key;
    ASSERT_TRUE(key.Open("Software\\Norvane\\Test"));
    EXPECT_TRUE(key.SetString("k=v", "a=b\nc\\d"));
    const uint32_t four = 0x01020304;
    EXPECT_TRUE(key.SetBinary("Four", &four, 4));
  }
  CRegistryKey key;
  ASSERT_TRUE(key.Open("Software\\Norvane\\Test"));
  char buf[16];
  uint32_t size = sizeof(buf);
  CRegistryKey::Type type;
  ASSERT_TRUE(key.QueryValue("k=v", buf, &size, &type));
  EXPECT_EQ(type, CRegistryKey::Type::String);
  EXPECT_EQ(size, 8u);  // text and its terminator
  EXPECT_STREQ(buf, "a=b\nc\\d");
  uint32_t value = 0;
  size = 4;
  ASSERT_TRUE(key.QueryValue("Four", &value, &size, &type));
  EXPECT_EQ(type, CRegistryKey::Type::Binary);
  EXPECT_EQ(value, 0x01020304u);
  EXPECT_FALSE(key.QueryValue("k=v", buf, &size));  // too small: fails, tells the size
  EXPECT_EQ(size, 8u);
  EXPECT_FALSE(key.QueryValue("Missing", buf, &size));
  CRegistryKey::SetRoot("");
  fs::remove_all(dir);
}
