#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "../support/TestFiles.h"
#include "gtest/gtest.h"
#include "media/StaticFiles.h"

namespace {

TEST(StaticFileNames, MapOrRefuse) {
  const std::pair<const char*, const char*> rows[] = {
      {"/", "index.html"}, {"/?x=1", "index.html"}, {"/index.html", "index.html"}, {"/lib/mpegts.js#a", "lib/mpegts.js"},
      {"/..", nullptr}, {"/a/../../etc/passwd", nullptr}, {"/%2e%2e/x", nullptr}, {"//etc/passwd", nullptr},
      {"/.hidden", nullptr}, {"/lib/", nullptr}, {"/a\\b", nullptr}, {"index.html", nullptr}, {"", nullptr}};
  for (const auto& [target, expected] : rows) {
    std::string name;
    EXPECT_EQ(CStaticFiles::FileNameOf(target, &name) ? name : "(refused)", expected ? expected : "(refused)") << target;
  }
}

class StaticFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfiles::MakeTempDir("vt-static-");
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(mkdir((dir_ + "web").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir_ + "web/lib").c_str(), 0700), 0);
    testfiles::WriteFile(dir_ + "web/index.html", "<p>x</p>");
    testfiles::WriteFile(dir_ + "secret.txt", "secret");
    ASSERT_EQ(symlink((dir_ + "secret.txt").c_str(), (dir_ + "web/out.txt").c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(std::system(("rm -rf " + dir_).c_str()), 0); }

  CStaticFiles::Result Get(const std::string& target, std::string* response, const std::string& headers = "") {
    return CStaticFiles(dir_ + "web").Respond("GET " + target + " HTTP/1.1\r\n" + headers + "\r\n", response);
  }
  std::string dir_;
};

TEST_F(StaticFilesTest, ServesTheIndexWithTypeLengthAndRevalidation) {
  std::string response;
  ASSERT_EQ(Get("/", &response), CStaticFiles::Result::kServed);
  EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 8\r\n", 0), 0u);
  const size_t at = response.find("ETag: ") + 6;
  const std::string etag = response.substr(at, response.find("\r\n", at) - at);

  ASSERT_EQ(Get("/index.html", &response, "If-None-Match: " + etag + "\r\n"), CStaticFiles::Result::kServed);
  EXPECT_EQ(response.rfind("HTTP/1.1 304 Not Modified\r\n", 0), 0u);
  EXPECT_EQ(response.find("<p>"), std::string::npos);

  testfiles::WriteFile(dir_ + "web/index.html", "<p>changed</p>");
  ASSERT_EQ(Get("/index.html", &response, "If-None-Match: " + etag + "\r\n"), CStaticFiles::Result::kServed);
  EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST_F(StaticFilesTest, NothingOutsideTheFolderNorFolders) {
  std::string response;
  EXPECT_EQ(Get("/out.txt", &response), CStaticFiles::Result::kRefused);
  EXPECT_EQ(Get("/../secret.txt", &response), CStaticFiles::Result::kRefused);
  EXPECT_EQ(Get("/lib", &response), CStaticFiles::Result::kNotFound);
  EXPECT_EQ(Get("/missing.js", &response), CStaticFiles::Result::kNotFound);
  EXPECT_EQ(CStaticFiles(dir_ + "none").Respond("GET / HTTP/1.1\r\n\r\n", &response), CStaticFiles::Result::kNotFound);
  EXPECT_EQ(response.find("secret"), std::string::npos);
}

}  // namespace
