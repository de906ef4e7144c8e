// Web-service account requests: reply markers, camera record, encodings, md5Key, whole requests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "camera_config/CameraInfoMgr.h"
#include "framework/Wnd.h"
#include "infra/MD5Digest.h"
#include "remote/HttpRequestMgr.h"
#include "remote/WebCamServiceHttpRequestSocket.h"
#include "tests/net/NetTestSupport.h"

namespace {

TEST(WebReplyTest, MarkersDecideInTheirOrder) {
  const struct { const char* reply; bool decided; int code, stringId; } rows[] = {
      {"<createUserReturn x>createUser failed: user aleady exist.", true, 7, 105},
      {"<createUserReturn x>createUser success.", true, 1, 0},
      {"<createUserReturn x>odd</createUserReturn>", true, 7, 111},
      {"<addDeviceReturn x>addDevice failed: unauthorized user.", true, 7, 110},
      {"<loginReturn x>login failed: webcam device not exist.", true, 6, 109},
      {"<loginReturn x>login failed: unauthorized user.", true, 7, 110},
      {"<loginReturn x>login failed: missing infomation.", true, 7, 106},
      {"<loginReturn x>nothing known</loginReturn>", true, 7, 111},
      // createUser before addDevice before login, whatever the order in the reply.
      {"<loginReturn x>login success.<addDeviceReturn y>addDevice success.", true, 1, 0},
      {"<loginReturn x>login success.</loginReturn><createUserReturn y>createUser failed: user aleady exist.",
       true, 7, 105},
      // The element start needs its blank; a result text outside its element does not count.
      {"<loginReturn>login success.", false, 0, 0}, {"login success.<loginReturn x>", false, 0, 0},
      {"<loginReturn x>login succ", false, 0, 0}, {"", false, 0, 0}};
  for (const auto& row : rows) {
    const WebReplyOutcome got = DecideWebReply(row.reply);
    EXPECT_EQ(std::tuple(got.decided, got.code, got.stringId), std::tuple(row.decided, row.code, row.stringId))
        << row.reply;
  }
}

TEST(WebReplyTest, CameraRecordValuesEndAtQuoteBlank) {
  const char* record = " <Camera camId='cam77' ftpPassword='p q' ftpUser='last'/>";
  const struct { const char* key; const char* value; } rows[] = {
      {"Camera camId='", "cam77"}, {"ftpPassword='", "p q"}, {"ftpUser='", ""}, {"userName='", ""}};
  for (const auto& row : rows) {
    const RecordValue v = FindRecordValue(record, row.key);
    EXPECT_EQ(std::string(v.start ? v.start : "", static_cast<size_t>(v.length)), row.value) << row.key;
  }
}

TEST(UrlEncodeTest, EncodesOnceAndTwiceAndEscapesQueryValues) {
  const struct { const char* text; const char* once; const char* twice; } rows[] = {
      {"Cam 1-a", "Cam+1%2Da", "Cam%2B1%252Da"}, {"x_.~\t", "x%5F%2E%7E+", "x%255F%252E%257E%2B"},
      {"客", "%E5%AE%A2", "%25E5%25AE%25A2"}, {"abcXYZ019", "abcXYZ019", "abcXYZ019"}};
  for (const auto& row : rows) {
    EXPECT_EQ(UrlEncode(row.text, 65001), row.once);
    EXPECT_EQ(UrlEncode(row.once, 65001), row.twice);
  }
  // Query values keep their meaning.
  const struct { const char* text; const char* escaped; } query[] = {
      {"a&b=c", "a%26b=c"}, {"p#1", "p%231"}, {"50%+", "50%25%2B"},
      {"a b", "a%20b"}, {"密", "%E5%AF%86"}, {"plain_User-1.x", "plain_User-1.x"}};
  for (const auto& row : query) EXPECT_EQ(QueryEscape(row.text), row.escaped) << row.text;
}

TEST(Md5KeyTest, ChangesAtUtcMidnightNotLocalMidnight) {
  setenv("TZ", "Asia/Tokyo", 1);  // local midnight falls at 15:00 UTC
  tzset();
  const time_t utcMidnight = 1796601600;  // 2026-12-07 00:00:00 UTC
  CMD5Digest md5;
  md5.Update("2026-12-06SER-1vantor_homecam_installer_pepper7", -1);
  const std::string before = md5.GetHexDigest();
  EXPECT_EQ(MakeMd5Key(utcMidnight - 1, "SER-1"), before);
  EXPECT_NE(MakeMd5Key(utcMidnight, "SER-1"), before);  // Tokyo's midnight (15:00 UTC) keeps it:
  EXPECT_EQ(MakeMd5Key(utcMidnight + 15 * 3600 - 1, "SER-1"), MakeMd5Key(utcMidnight + 15 * 3600, "SER-1"));
  unsetenv("TZ");
  tzset();
}

// Records what the requests post to it.
struct ResultWindow : CWnd {
  bool PostMessage(uint32_t message, uintptr_t code, intptr_t stringId) override {
    std::lock_guard<std::mutex> guard(lock);
    posts.push_back(std::to_string(message) + " " + std::to_string(code) + " " + std::to_string(stringId));
    return true;
  }
  bool IsWindowEnabled() const override { return true; }
  std::mutex lock;
  std::vector<std::string> posts;
};

// A reply split over receives counts once whole; data without a marker fails at the close.
// A closed connection without data: system test.
TEST(WebRequestTest, PostsOneResultPerLogin) {
  nettest::LogCapture::Instance();
  uint16_t port = 0;
  const int server = nettest::ListenBlocking(&port);
  setenv("VTCAM_WEBSERVICE_PORT", std::to_string(port).c_str(), 1);
  GetCameraInfoMgr().SetDefaults();
  const struct { std::vector<std::string> pieces; const char* result; } rows[] = {
      {{"HTTP/1.1 200 OK\r\n\r\n<loginRet", "urn r>login success.<Camera camId='c9' ftpPassword='fp' />"}, "1 0"},
      {{"HTTP/1.1 500 Oops\r\n\r\nno idea"}, "7 111"}};
  for (const auto& row : rows) {
    ResultWindow window;
    GetHttpRequestMgr().SetActiveWindow(&window);
    GetHttpRequestMgr().Login("user&1", "pa ss", "chap");
    const int peer = accept(server, nullptr, nullptr);
    char request[2048] = {};
    ASSERT_GT(recv(peer, request, sizeof(request) - 1, 0), 0);
    EXPECT_NE(std::string(request).find("method=login&userName=user%261&password=pa%20ss&challenge=chap HTTP/1.1"),
              std::string::npos) << request;
    for (const std::string& piece : row.pieces) {
      ASSERT_TRUE(nettest::SendAll(peer, piece));
      usleep(50000);
    }
    close(peer);
    ASSERT_TRUE(nettest::WaitUntil([&] { std::lock_guard<std::mutex> g(window.lock); return !window.posts.empty(); }));
    usleep(100000);  // a second result would arrive meanwhile
    GetHttpRequestMgr().ForgetWindow(&window);
    EXPECT_EQ(window.posts, std::vector<std::string>{std::to_string(WM_LOGIN_RESULT) + " " + row.result});
  }
  EXPECT_EQ(GetCameraInfoMgr().GetCameraID(), "c9");
  EXPECT_STREQ(GetCameraInfoMgr().GetCameraInfo(0)->GetFtpConfig().password, "fp");
  close(server);
  unsetenv("VTCAM_WEBSERVICE_PORT");
}

}  // namespace
