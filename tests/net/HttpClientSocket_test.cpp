#include "net/HttpClientSocket.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "tests/net/NetTestSupport.h"

namespace {

using nettest::WaitUntil;

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
      {"http://127.0.0.1:8080/form.cgi?a=1&b=two", "POST", nullptr,
       "POST /form.cgi HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nContent-Length: 9\r\n"
       "Content-Type: application/x-www-form-urlencoded\r\n\r\na=1&b=two",
       8080},
      {"http://127.0.0.1/f?k=v", "POST", "X-A: 1\r\n",
       "POST /f HTTP/1.1\r\nHost: 127.0.0.1\r\nX-A: 1\r\nContent-Length: 3\r\n"
       "Content-Type: application/x-www-form-urlencoded\r\n\r\nk=v",
       80},
      {"http://127.0.0.1/f", "POST", "X-A: 1\r\n",
       "POST /f HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n", 80},
      {"xhttp://127.0.0.1:90", "GET", nullptr, "GET / HTTP/1.1\r\nHost: 127.0.0.1:90\r\n\r\n\r\n", 90},
      {"http://127.0.0.1/x", "DELETE", nullptr, "", 80},
      {"http://127.0.0.1/x", "GO", nullptr, "", 80},
  };
  CHttpClientSocket socket;
  for (const auto& row : rows) {
    socket.SetRequest(row.url, row.method, row.extra);  // composing again frees the previous text
    EXPECT_EQ(std::string(socket.GetRequest()), row.request) << row.url;
    EXPECT_EQ(socket.GetRequestLength(), static_cast<int>(std::strlen(row.request))) << row.url;
    EXPECT_EQ(socket.GetTargetPort(), row.port) << row.url;
  }
}

class TextClient : public CHttpClientSocket {
 public:
  ~TextClient() override { Retire(); }
  int ProcessRecvBuffer() override {
    int length = 0;
    const char* text = m_pRecvBuffer->GetData(&length);
    std::lock_guard<std::mutex> guard(m_lock);
    m_text = text;  // zero-terminated by the buffer
    return m_text.find("</done>") == std::string::npos ? 1 : 0;
  }
  std::string Text() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_text;
  }

 private:
  std::mutex m_lock;
  std::string m_text;
};

TEST(HttpClientSocketTest, RequestGoesOutWithTheConnectAndTheAnswerAccumulates) {
  nettest::LogCapture::Instance();
  uint16_t port = 0;
  const int server = nettest::ListenBlocking(&port);
  TextClient client;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/svc?method=login&userName=u";
  client.SetRequest(url.c_str(), "GET", nullptr);
  ASSERT_EQ(client.ConnectTo(), 1);
  const int peer = accept(server, nullptr, nullptr);
  const std::string expected =
      "GET /svc?method=login&userName=u HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n\r\n";
  EXPECT_EQ(nettest::ReadExactly(peer, expected.size()), expected);
  ASSERT_TRUE(nettest::SendAll(peer, "HTTP/1.1 200 OK\r\n\r\n<loginRet"));
  ASSERT_TRUE(WaitUntil([&] { return client.Text().find("<loginRet") != std::string::npos; }));
  ASSERT_TRUE(nettest::SendAll(peer, "urn>ok</done>"));
  ASSERT_TRUE(WaitUntil([&] { return client.GetState() == CIOCPSocket::kClosed; }));
  EXPECT_EQ(client.Text(), "HTTP/1.1 200 OK\r\n\r\n<loginReturn>ok</done>");
  EXPECT_TRUE(nettest::SeesEndOfStream(peer));
  close(peer);
  close(server);
}

}  // namespace
