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
  const std::pair<const char*, CameraRequest> rows[] = {
      {"GET /vdata.flv HTTP/1.1\r\n\r\n", CameraRequest::kStreamFlv},
      {"GET /live/vdata.v HTTP/1.0\r\n\r\n", CameraRequest::kStreamFlv},
      {"GET /snapshot.htm?qcif HTTP/1.1\r\n", CameraRequest::kSnapshot},
      {"POST /snapshot.htm HTTP/1.1\r\n", CameraRequest::kUnknown},  // not a POST page
      {"GET /index.html HTTP/1.1\r\nReferer: /vdata.flv\r\n", CameraRequest::kUnknown},  // request line only
      {"PUT /vdata.flv HTTP/1.1\r\n", CameraRequest::kNotHttp},
      {"GE", CameraRequest::kNotHttp},
      {"", CameraRequest::kNotHttp},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(Match(text), expected) << text;
  int keyword = -1;
  Match("GET /x/snapshot.htm HTTP/1.1\r\n", &keyword);
  EXPECT_EQ(keyword, 6);
  EXPECT_TRUE(RequestLineHas("GET /snapshot.htm?qcif HTTP/1.1\r\n", 33, 4 + 13, "qcif"));
  EXPECT_FALSE(RequestLineHas("GET /snapshot.htm HTTP/1.1\r\nX: qcif\r\n", 38, 4 + 13, "qcif"));
}

TEST(HttpRequest, GetParamStopsAtSeparatorsAndCuts) {
  // Cut to outSize - 1 characters, no URL decoding.
  const std::pair<const char*, const char*> rows[] = {
      {"a=1&k=bob&x", "bob"}, {"k=abcdefghij", "abcdefg"}, {"k=v w", "v"},
      {"k=v\r\nz", "v"},     {"k=%41", "%41"},           {"nothing", nullptr}};
  for (const auto& [text, value] : rows) {
    char out[8];
    EXPECT_EQ(GetParam(text, "k=", out, sizeof(out)), value ? 1 : 0) << text;
    EXPECT_STREQ(out, value ? value : "") << text;
  }
  char one[2];
  EXPECT_EQ(GetParam("A_Aenabled=10", "A_Aenabled=", one, sizeof(one)), 1);
  EXPECT_STREQ(one, "1");
}

TEST(HttpRequest, ContentLengthIsPaddedToFourCharacters) {
  const std::string body(52, 'b');
  EXPECT_EQ(BuildTextResponse(body), "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 52  \r\n\r\n" + body);
  EXPECT_NE(BuildTextResponse("x").find("Content-Length: 1   \r\n"), std::string::npos);
  EXPECT_NE(BuildTextResponse(std::string(1234, 'y')).find("Content-Length: 1234\r\n"), std::string::npos);
  EXPECT_EQ(BuildFileResponseHeader(123456), "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 123456\r\n\r\n");
}
