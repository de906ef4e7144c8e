#include "net/HttpClientSocket.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/net/NetTestSupport.h"

namespace {

// The program only sends GETs to http:// addresses it composes; one with a port is the
// system tests' account login.
TEST(HttpRequestComposerTest, GetWithoutAPortGoesToPort80AndComposingAgainReplacesTheText) {
  nettest::LogCapture::Instance();
  CHttpClientSocket socket;
  socket.SetRequest("http://127.0.0.1:81/x", "GET", "Accept: */*\r\n");
  socket.SetRequest("http://127.0.0.1/s?method=login&u=a", "GET", nullptr);
  const std::string request = "GET /s?method=login&u=a HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n\r\n";
  EXPECT_EQ(std::string(socket.GetRequest()), request);
  EXPECT_EQ(socket.GetRequestLength(), static_cast<int>(request.size()));
  EXPECT_EQ(socket.GetTargetPort(), 80);
}

}  // namespace
