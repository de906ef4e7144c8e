#pragma once
// CHttpClientSocket: a client socket that carries one plain HTTP/1.1 request, composed
// from a URL and sent as the connect's data, and receives the answer as text.
//
// Who may include it: net/ and the web-service requests (remote/). SetRequest runs on the
// thread that starts the request, before ConnectTo.
#include "net/IOCPClientSocket.h"

class CHttpClientSocket : public CIOCPClientSocket {
 public:
  static constexpr size_t kHostFieldSize = 64;  // host part incl. ":port", cut to 63 characters

  // Plain CDataBuffer buffers (4096 bytes), so the answer reads as one string.
  CHttpClientSocket();
  ~CHttpClientSocket() override;

  // Composes the request for url ("http://host[:port]/path?query", the scheme optional)
  // and points the target at its host. "GET" (any 3-letter method) puts the query on the
  // request line; "POST" (any 4-letter method) sends the query as a form body. Any other
  // method leaves the request empty. extraHeaders (each ending in "\r\n") may be null.
  void SetRequest(const char* url, const char* method, const char* extraHeaders);
};
