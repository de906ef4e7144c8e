#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/Profile.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;
using namespace platform;

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfiles::MakeTempDir("vtini");
    path_ = dir_ + "list.ini";
    testfiles::WriteFile(path_, "; comment\r\n[ReleaseNote]\r\ntext = \"Fixed things\"  \r\n\r\n[a.dll]\r\n"
                                "directory=sub\\\r\nVERSION=1.2.3.4\r\n; not a line\r\nmd5=ABC\r\n[Skip]\r\n__TYPE=x\r\n");
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_, path_;
};

TEST_F(ProfileTest, ReadsValuesCaseInsensitivelyAndTrimmed) {
  const struct {
    const char *section, *key, *fallback;
    uint32_t size;
    const char* value;
  } rows[] = {{"releasenote", "TEXT", "x", 64, "Fixed things"}, {"a.dll", "version", "0", 64, "1.2.3.4"},
              {"a.dll", "zipped", "no  ", 64, "no"}, {"ReleaseNote", "text", "", 6, "Fixed"}};
  for (const auto& r : rows) {
    char buf[64];
    EXPECT_EQ(GetPrivateProfileString(r.section, r.key, r.fallback, buf, r.size, path_.c_str()), strlen(r.value));
    EXPECT_STREQ(buf, r.value);
  }
  EXPECT_EQ(GetProfileString("Log", "max_size", "8000", (dir_ + "none.ini").c_str()), "8000");
}

TEST_F(ProfileTest, ListsSectionNamesKeysAndLines) {
  char buf[64];
  const uint32_t n = GetPrivateProfileString(nullptr, nullptr, "", buf, sizeof(buf), path_.c_str());
  EXPECT_EQ(std::string(buf, n + 1), std::string("ReleaseNote\0a.dll\0Skip\0\0", 24));
  const uint32_t k = GetPrivateProfileString("a.dll", nullptr, "", buf, sizeof(buf), path_.c_str());
  EXPECT_EQ(std::string(buf, k), std::string("directory\0VERSION\0md5\0", 22));
  EXPECT_EQ(GetProfileSectionLines("A.DLL", path_.c_str()),
            (std::vector<std::string>{"directory=sub\\", "VERSION=1.2.3.4", "md5=ABC"}));
  char small[8];
  EXPECT_EQ(GetPrivateProfileString(nullptr, nullptr, "", small, sizeof(small), path_.c_str()), 6u);
  EXPECT_EQ(small[6], 0);
  EXPECT_EQ(small[7], 0);
  char nearly[23];  // room for every name but not the closing zero
  EXPECT_EQ(GetPrivateProfileString(nullptr, nullptr, "", nearly, sizeof(nearly), path_.c_str()), 21u);
}

TEST_F(ProfileTest, WritesDeletesAndKeepsOtherLines) {
  EXPECT_TRUE(WritePrivateProfileString("a.dll", "md5", "DEF", path_.c_str()));
  EXPECT_TRUE(WritePrivateProfileString("New", "key", "v", path_.c_str()));
  EXPECT_EQ(GetProfileString("a.dll", "md5", "", path_.c_str()), "DEF");
  EXPECT_EQ(GetProfileString("New", "key", "", path_.c_str()), "v");
  EXPECT_TRUE(WritePrivateProfileString("a.dll", "md5", nullptr, path_.c_str()));
  EXPECT_EQ(GetProfileString("a.dll", "md5", "gone", path_.c_str()), "gone");
  EXPECT_TRUE(WritePrivateProfileString("Skip", nullptr, nullptr, path_.c_str()));
  EXPECT_EQ(GetProfileSectionNames(path_.c_str()), (std::vector<std::string>{"ReleaseNote", "a.dll", "New"}));
  EXPECT_EQ(testfiles::ReadFile(path_).rfind("; comment\r\n[ReleaseNote]\r\n", 0), 0u) << "other lines stay as they were";
}

TEST_F(ProfileTest, StructValuesCarryAChecksum) {
  const unsigned char digest[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                    0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
  ASSERT_TRUE(WritePrivateProfileStruct("LiveUpdate", "DLF_History", digest, 16, path_.c_str()));
  unsigned char back[16] = {};
  ASSERT_TRUE(GetPrivateProfileStruct("LiveUpdate", "DLF_History", back, 16, path_.c_str()));
  EXPECT_EQ(0, memcmp(back, digest, 16));
  EXPECT_FALSE(GetPrivateProfileStruct("LiveUpdate", "DLF_History", back, 15, path_.c_str()));
  const std::string hex = GetProfileString("LiveUpdate", "DLF_History", "", path_.c_str());
  for (size_t at : {size_t{0}, hex.size() - 2}) {
    std::string bad = hex;
    bad[at] = "0123456789ABCDEF"[(std::stoi(bad.substr(at, 1), nullptr, 16) ^ 8)];
    WritePrivateProfileString("LiveUpdate", "DLF_History", bad.c_str(), path_.c_str());
    EXPECT_FALSE(GetPrivateProfileStruct("LiveUpdate", "DLF_History", back, 16, path_.c_str())) << bad;
  }
  EXPECT_FALSE(GetPrivateProfileStruct("LiveUpdate", "Missing", back, 16, path_.c_str()));
}
