#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "media/HttpRequest.h"

namespace {

CameraRequest Match(const std::string& text, int* keyword = nullptr) {
  int k = 0;
  const CameraRequest r = MatchCameraRequest(text.data(), static_cast<int>(text.size()), &k);
  if (keyword) *keyword = k;
  return r;
}

}  // namespace

TEST(HttpRequest, RequestTableFirstMatchWins) {
  struct Row {
    const char* text;
    CameraRequest expected;
  } rows[] = {
      {"GET /vdata.flv HTTP/1.1\r\n\r\n", CameraRequest::kStreamFlv},
      {"GET /live/vdata.v HTTP/1.0\r\n\r\n", CameraRequest::kStreamFlv},
      {"GET /vdata.rtp HTTP/1.1\r\n\r\n", CameraRequest::kStreamRtp},
      {"GET /cgi-bin/getConnectionTime.cgi HTTP/1.1\r\n", CameraRequest::kRunTime},
      {"GET /schedule_setup.html?method=x HTTP/1.1\r\n", CameraRequest::kScheduleSetup},
      {"GET /servertxt.html?A_Aenabled=1 HTTP/1.1\r\n", CameraRequest::kServerSetting},
      {"GET /snapshot.htm?qcif HTTP/1.1\r\n", CameraRequest::kSnapshot},
      {"POST /servertxt.html HTTP/1.1\r\n", CameraRequest::kServerSettingPost},
      {"POST /snapshot.htm HTTP/1.1\r\n", CameraRequest::kUnknown},  // not a POST page
      {"GET /index.html HTTP/1.1\r\nReferer: /vdata.flv\r\n", CameraRequest::kUnknown},  // request line only
      {"PUT /vdata.flv HTTP/1.1\r\n", CameraRequest::kNotHttp},
      {"GE", CameraRequest::kNotHttp},
      {"", CameraRequest::kNotHttp},
  };
  for (const auto& row : rows) EXPECT_EQ(Match(row.text), row.expected) << row.text;
  int keyword = -1;
  Match("GET /x/snapshot.htm HTTP/1.1\r\n", &keyword);
  EXPECT_EQ(keyword, 6);
  EXPECT_TRUE(RequestLineHas("GET /snapshot.htm?qcif HTTP/1.1\r\n", 33, 4 + 13, "qcif"));
  EXPECT_FALSE(RequestLineHas("GET /snapshot.htm HTTP/1.1\r\nX: qcif\r\n", 38, 4 + 13, "qcif"));
}

TEST(HttpRequest, GetParamStopsAtSeparatorsAndCuts) {
  char out[8];
  EXPECT_EQ(GetParam("a=1&FTP_USER=bob&x", "FTP_USER=", out, sizeof(out)), 1);
  EXPECT_STREQ(out, "bob");
  EXPECT_EQ(GetParam("FTP_USER=abcdefghij", "FTP_USER=", out, sizeof(out)), 1);
  EXPECT_STREQ(out, "abcdefg");  // outSize - 1 characters
  EXPECT_EQ(GetParam("k=v w", "k=", out, sizeof(out)), 1);
  EXPECT_STREQ(out, "v");
  EXPECT_EQ(GetParam("k=v\r\nz", "k=", out, sizeof(out)), 1);
  EXPECT_STREQ(out, "v");
  EXPECT_EQ(GetParam("k=%41", "k=", out, sizeof(out)), 1);
  EXPECT_STREQ(out, "%41");  // no URL decoding
  EXPECT_EQ(GetParam("nothing", "k=", out, sizeof(out)), 0);
  EXPECT_STREQ(out, "");
  char one[2];
  EXPECT_EQ(GetParam("A_Aenabled=10", "A_Aenabled=", one, sizeof(one)), 1);
  EXPECT_STREQ(one, "1");
}

TEST(HttpRequest, ContentLengthIsPaddedToFourCharacters) {
  const std::string body(52, 'b');
  const std::string r = BuildTextResponse(body);
  EXPECT_EQ(r, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 52  \r\n\r\n" + body);
  EXPECT_NE(BuildTextResponse("x").find("Content-Length: 1   \r\n"), std::string::npos);
  EXPECT_NE(BuildTextResponse(std::string(1234, 'y')).find("Content-Length: 1234\r\n"), std::string::npos);
  EXPECT_EQ(BuildFileResponseHeader(123456), "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 123456\r\n\r\n");
}
