#include "capture/UndeliveredSpool.h"

#include <utime.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

struct SpoolCase {
  const char* what;
  std::vector<std::pair<std::string, int>> before;  // "<channel>/<name>" and size, oldest first
  int newBytes;
  const char* newName;
  bool kept;
  std::vector<std::string> after;
};

class SpoolTest : public ::testing::TestWithParam<SpoolCase> {
 protected:
  void SetUp() override { dir_ = testfiles::MakeTempDir("vtspool"); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST_P(SpoolTest, KeepsWithinBudgetDroppingOldestFirst) {
  const SpoolCase& c = GetParam();
  long age = 1000;
  for (const auto& [name, bytes] : c.before) {
    const std::string path = dir_ + "spool/" + name;
    fs::create_directories(fs::path(path).parent_path());
    testfiles::WriteFile(path, std::string(static_cast<size_t>(bytes), 'c'));
    utimbuf times{age, age};
    ++age;
    utime(path.c_str(), &times);
  }
  CUndeliveredSpool spool(dir_ + "spool/", 100);
  const std::string clip = dir_ + "vtc1234.tmp";
  testfiles::WriteFile(clip, std::string(static_cast<size_t>(c.newBytes), 'n'));

  EXPECT_EQ(spool.Keep(0, clip, c.newName), c.kept) << c.what;
  EXPECT_EQ(fs::exists(clip), !c.kept) << c.what;  // moved when kept, untouched when not
  std::vector<std::string> all;  // each channel's clips, oldest first
  for (int channel = 0; channel < 10; ++channel)
    for (const std::string& p : spool.Waiting(channel)) all.push_back(p.substr(dir_.size() + 6));  // after "spool/"
  EXPECT_EQ(all, c.after) << c.what;
  EXPECT_LE(spool.TotalBytes(), 100u) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Budget, SpoolTest,
    ::testing::Values(
        SpoolCase{"fits exactly", {{"0/record_a.flv", 40}}, 60, "record_b.flv", true,
                  {"0/record_a.flv", "0/record_b.flv"}},
        SpoolCase{"oldest of any channel goes",
                  {{"3/record_old.flv", 30}, {"0/record_mid.flv", 30}, {"0/record_new.flv", 30}}, 40, "record_b.flv",
                  true, {"0/record_mid.flv", "0/record_new.flv", "0/record_b.flv"}},
        SpoolCase{"bigger than the budget", {{"0/record_a.flv", 40}}, 101, "record_b.flv", false, {"0/record_a.flv"}},
        SpoolCase{"name with a folder", {}, 10, "../record_b.flv", false, {}}));

}  // namespace
