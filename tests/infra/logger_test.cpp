#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"
#include "infra/Logger.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

using testfiles::ReadFile;

// The executable lives in <dir>/bin, the working directory is <dir>/cwd.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfiles::MakeTempDir("vtlog");
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    fs::create_directories(dir_ + "bin");
    fs::create_directories(dir_ + "cwd");
    oldCwd_ = fs::current_path();
    fs::current_path(dir_ + "cwd");
    logger_.SetExecutablePath(dir_ + "bin/VantorHomeCamera");
  }
  void TearDown() override {
    logger_.CloseLog();
    fs::current_path(oldCwd_);
    unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(dir_);
  }
  void Config(const std::string& body) { std::ofstream(dir_ + "bin/config.ini") << "[Log]\r\n" << body; }
  std::string LogText() { return ReadFile(dir_ + "bin/VantorHomeCamera.log"); }

  std::string dir_;
  fs::path oldCwd_;
  CLogger logger_;
};

}  // namespace

TEST_F(LoggerTest, ConfigValuesAndTheirFallbacks) {
  const struct {
    const char* body;
    int level;
    uint32_t maxSize;
    int echo;
  } rows[] = {
      {"max_size=abc\r\n", 20, 8000, 0},         {"max_size=63\r\n", 20, 8000, 0},
      {"max_size=64\r\n", 20, 64, 0},            {"log_level=25\r\n", 25, 8000, 0},
      {"log_level=9\r\n", 20, 8000, 0},          {"log_level=41\r\n", 20, 8000, 0},
      {"log_level=Warning\r\n", 30, 8000, 0},    {"log_level=DEBUG\r\n", 10, 8000, 0},
      {"log_level=debug or error\r\n", 40, 8000, 0}, {"log_level=whatever\r\n", 20, 8000, 0},
      {"log2console=0\r\n", 20, 8000, 1},
  };
  for (const auto& row : rows) {
    Config(row.body);
    CLogger logger;
    logger.SetExecutablePath(dir_ + "bin/VantorHomeCamera");
    logger.InitLog(0);
    EXPECT_EQ(std::tuple(logger.LevelThreshold(), logger.MaxSizeKiB(), logger.ConsoleEcho()),
              std::tuple(row.level, row.maxSize, row.echo)) << row.body;
    logger.CloseLog();
  }
}

TEST_F(LoggerTest, RecordLayoutLevelsAndLastError) {
  Config("log_level=INFO\r\n");
  logger_.InitLog(0);
  logger_.Log("plain %d", 7);
  logger_.LogAtLevel(LOG_DEBUG, "dropped");
  logger_.LogAtLevel(LOG_INFO, "kept %s\n", "x");  // at the threshold
  errno = 13;
  logger_.LogWithLastError("failed %s", "open");
  const std::string stamp = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\\|\\d+ ";
  const std::string text = LogText();
  EXPECT_TRUE(std::regex_match(text, std::regex("\r\n\r\n\r\n" + stamp + "plain 7\r\n" + stamp + "kept x\n\r\n" +
                                                stamp + "failed open \\(Error:13\\)\r\n\r\n")))
      << text;
}

TEST_F(LoggerTest, RotatesToBackupOnceTheLimitIsReached) {
  Config("max_size=64\r\n");
  std::ofstream(dir_ + "bin/VantorHomeCamera.log") << std::string(64 * 1024, 'o');
  logger_.InitLog(0);
  EXPECT_EQ(fs::file_size(dir_ + "bin/VantorHomeCamera.log.bak"), 64u * 1024u);
  EXPECT_EQ(LogText(), "\r\n\r\n\r\n");
  const std::string line(1000, 'r');
  for (int i = 0; i < 70; ++i) logger_.Log("%s", line.c_str());
  const auto current = LogText();
  const auto backup = ReadFile(dir_ + "bin/VantorHomeCamera.log.bak");
  EXPECT_GE(backup.size(), 64u * 1024u);
  EXPECT_LT(current.size(), 64u * 1024u);
  size_t count = 0;
  for (const auto* t : {&current, &backup})
    for (size_t p = t->find(line); p != std::string::npos; p = t->find(line, p + 1)) ++count;
  EXPECT_EQ(count, 70u) << "no record lost across the rotation";
}

TEST_F(LoggerTest, UnopenableLogRunsOnSilently) {
  Config("log_path=" + dir_ + "missing/dir\r\n");
  testing::internal::CaptureStdout();
  logger_.InitLog(0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "can not open log file " + dir_ + "missing/dir/VantorHomeCamera.log!");
  EXPECT_FALSE(logger_.IsOpen());
  logger_.Log("goes nowhere");
  logger_.CloseLog();  // TearDown closes it a second time
}

TEST_F(LoggerTest, ConcurrentRecordsStayWhole) {
  logger_.InitLog(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([this, t] { for (int i = 0; i < 200; ++i) logger_.Log("thread %d record %d end", t, i); });
  for (auto& th : threads) th.join();
  // A torn or interleaved record matches no line.
  const std::regex record("\\d{4}-.*\\|\\d+ thread \\d record \\d+ end\r");
  std::istringstream in(LogText());
  int whole = 0;
  for (std::string line; std::getline(in, line);) whole += std::regex_match(line, record);
  EXPECT_EQ(whole, 800);
}
