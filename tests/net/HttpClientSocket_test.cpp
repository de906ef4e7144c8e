#include "net/HttpClientSocket.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/net/NetTestSupport.h"

namespace {

// The request going out with the connect is covered by the system tests' account login.
TEST(HttpRequestComposerTest, ComposesGetAndPostForms) {
  nettest::LogCapture::Instance();
  const struct {
    const char* url;
    const char* method;
    const char* extra;
    const char* request;
    uint16_t port;
  } rows[] = {
      {"localhost:8080", "GET", nullptr, "GET / HTTP/1.1\r\nHost: localhost:8080\r\n\r\n\r\n", 8080},
      {"http://127.0.0.1/monitor/services/WebCamService?method=login&userName=a", "GET", nullptr,
       "GET /monitor/services/WebCamService?method=login&userName=a HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n\r\n", 80},
      {"http://127.0.0.1:81/x", "GET", "Accept: */*\r\n",
       "GET /x HTTP/1.1\r\nHost: 127.0.0.1:81\r\nAccept: */*\r\n\r\n\r\n", 81},
      {"http://127.0.0.1/f?k=v", "POST", "X-A: 1\r\n",
       "POST /f HTTP/1.1\r\nHost: 127.0.0.1\r\nX-A: 1\r\nContent-Length: 3\r\n"
       "Content-Type: application/x-www-form-urlencoded\r\n\r\nk=v",
       80},
      {"http://127.0.0.1/f", "POST", "X-A: 1\r\n",
       "POST /f HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n", 80},
      {"xhttp://127.0.0.1:90", "GET", nullptr, "GET / HTTP/1.1\r\nHost: 127.0.0.1:90\r\n\r\n\r\n", 90},
      {"http://127.0.0.1/x", "DELETE", nullptr, "", 80},
  };
  CHttpClientSocket socket;
  for (const auto& row : rows) {
    socket.SetRequest(row.url, row.method, row.extra);  // composing again frees the previous text
    EXPECT_EQ(std::string(socket.GetRequest()), row.request) << row.url;
    EXPECT_EQ(socket.GetRequestLength(), static_cast<int>(std::strlen(row.request))) << row.url;
    EXPECT_EQ(socket.GetTargetPort(), row.port) << row.url;
  }
}

}  // namespace
