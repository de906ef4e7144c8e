#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "infra/MD5Digest.h"

TEST(MD5Digest, RfcTestSuite) {
  const std::pair<const char*, const char*> suite[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (const auto& [text, hex] : suite) {
    CMD5Digest md5;
    md5.Update(text, static_cast<int>(std::string(text).size()));
    if (!*text) md5.Update("", 0);  // an empty text still starts a digest
    EXPECT_STREQ(md5.GetHexDigest(), hex) << text;
  }
}

TEST(MD5Digest, PiecesNegativeLengthsFinishingAndFiles) {
  CMD5Digest md5;
  EXPECT_STREQ(md5.GetHexDigest(), "");  // nothing added yet
  md5.Update("ab", -1);
  md5.Update("c", 0);
  EXPECT_STREQ(md5.GetHexDigest(), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_STREQ(md5.GetHexDigest(), "");
  md5.Update("a", 1);  // a new digest after the finish
  EXPECT_STREQ(md5.GetHexDigest(), "0CC175B9C0F1B6A831C399E269772661");

  std::string text(130, 'q');
  text[5] = '\0';
  const std::string path = std::filesystem::temp_directory_path() / ("vtmd5_" + std::to_string(getpid()));
  std::ofstream(path, std::ios::binary) << text;
  EXPECT_STREQ(md5.GetFileHexDigest(path.c_str()), "52F8343A682C96863AF04D2AF26C2DA6");
  for (size_t cut = 1; cut < text.size(); ++cut) {
    md5.Update(text.data(), static_cast<int>(cut));
    md5.Update(text.data() + cut, static_cast<int>(text.size() - cut));
    ASSERT_STREQ(md5.GetHexDigest(), "52F8343A682C96863AF04D2AF26C2DA6") << cut;
  }
  unsigned char out[16];
  std::fill(out, out + 16, 0xAB);
  EXPECT_EQ(CMD5Digest::DigestFile((path + ".missing").c_str(), out), 0);
  EXPECT_EQ(out[0], 0xAB);  // untouched
  EXPECT_EQ(md5.GetFileHexDigest((path + ".missing").c_str()), nullptr);
  std::filesystem::remove(path);
}
