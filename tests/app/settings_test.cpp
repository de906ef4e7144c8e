#include <filesystem>
#include <string>

#include "app/RegistrySettings.h"
#include "gtest/gtest.h"
#include "infra/MD5Digest.h"
#include "platform/ProgramDir.h"
#include "platform/RegistryKey.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::CRegistryKey::SetRoot(dir_);
    Settings() = SettingsRecord{};
    platform::SetProgramDirectory("/opt/vtcam");
  }
  void TearDown() override {
    platform::CRegistryKey::SetRoot("");
    fs::remove_all(dir_);
  }
  static std::string Stored(const char* name) {
    platform::CRegistryKey key;
    key.Open(kRegistryKeyPath);
    char buf[300] = {};
    uint32_t size = sizeof(buf);
    return key.QueryValue(name, buf, &size) ? std::string(buf) : std::string("<missing>");
  }
  static void StoreDword(const char* name, uint32_t v) {
    platform::CRegistryKey key;
    key.Open(kRegistryKeyPath);
    key.SetBinary(name, &v, 4);
  }
  std::string dir_ = testfiles::MakeTempDir("vtreg");
};

// The six empty values of a fresh machine: system test.
TEST_F(SettingsTest, DefaultsStoredNumbersAndConvertorDirectory) {
  for (int load = 0; load < 2; ++load) {  // the second load reads the empty values the first made
    LoadSettings();
    EXPECT_EQ(platform::ConvertorDirectory(), "/opt/vtcam/");
    EXPECT_EQ(Settings().showConvertorWindow, 1u);
    EXPECT_EQ(Settings().maxChannelCount, 10u);
    EXPECT_EQ(Settings().autoLogin, 0);
  }
  StoreDword("ShowConvertorWindow", 0);
  StoreDword("MaxChannelCount", 4);
  const char* const dirs[][2] = {{"/usr/lib/vtcam", "/usr/lib/vtcam/"}, {"/usr/lib/other/", "/usr/lib/other/"}};
  for (const auto& dir : dirs) {
    WriteValue("AVConvertProgram", dir[0]);
    LoadSettings();
    EXPECT_EQ(platform::ConvertorDirectory(), dir[1]);
  }
  EXPECT_EQ(Settings().showConvertorWindow, 0u);
  EXPECT_EQ(Settings().maxChannelCount, 4u);
}

// A missing value is created from the buffer's text; one that does not fit is replaced by it.
TEST_F(SettingsTest, ReadValueKeepsToItsBuffer) {
  char buf[8] = "seed";
  EXPECT_EQ(ReadValue("New", buf, sizeof(buf)), 4);
  EXPECT_EQ(Stored("New"), "seed");
  char big[8] = {};
  EXPECT_EQ(ReadValue("New", big, sizeof(big)), 5);  // the query's byte count, terminator included
  WriteValue("Long", "0123456789");
  char small[4] = {'a', 'b', 0, 0};
  EXPECT_EQ(ReadValue("Long", small, sizeof(small)), 2);
  EXPECT_EQ(Stored("Long"), "ab");
  EXPECT_EQ(WriteValue(nullptr, "abc") + WriteValue("X", nullptr), 0);
}

TEST_F(SettingsTest, LoginSettingsRememberAndAutoLogin) {
  const auto loaded = [] {  // "auto remember digest user" after a new start
    LoadSettings();
    int autoLogin = -1, remember = -1;
    const char *password = nullptr, *user = nullptr;
    GetLoginSettings(&autoLogin, &remember, &password, &user);
    return std::to_string(autoLogin) + " " + std::to_string(remember) + " " + password + " " + user;
  };
  CMD5Digest md5;
  md5.Update("alicesecret", -1);
  const std::string digest = md5.GetHexDigest();
  SaveLoginSettings(1, 1, "alice", "secret");
  EXPECT_EQ(Stored("UPMDString") + " " + Stored("LoginUserName") + " " + Stored("AutoLogin"), digest + " alice yes");
  EXPECT_EQ(Settings().userName[0], 0);  // the record changes only at the next start
  EXPECT_EQ(loaded(), "1 1 " + digest + " alice");
  SaveLoginSettings(0, 1, "alice", digest.c_str());  // the remembered digest is kept as it is
  EXPECT_EQ(Stored("UPMDString") + " " + Stored("AutoLogin"), digest + " no");
  SaveLoginSettings(1, 0, "alice", "secret");
  EXPECT_EQ(Stored("UPMDString"), "");
  EXPECT_EQ(loaded(), "0 0  alice");
  WriteValue("UPMDString", std::string(31, 'd').c_str());
  EXPECT_EQ(loaded(), "0 0 " + std::string(31, 'd') + " alice") << "a digest of 31 characters is none";
}
