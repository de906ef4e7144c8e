#include "net/HttpClientSocket.h"

#include <cstdio>
#include <cstring>

CHttpClientSocket::CHttpClientSocket() {
  if (m_pRecvBuffer == nullptr) m_pRecvBuffer = new CDataBuffer();
  if (m_pSendBuffer == nullptr) m_pSendBuffer = new CDataBuffer();
}

CHttpClientSocket::~CHttpClientSocket() { Retire(); }

void CHttpClientSocket::SetRequest(const char* url, const char* method, const char* extraHeaders) {
  if (url == nullptr || method == nullptr) return;
  const char* scheme = std::strstr(url, "http://");
  const char* hostStart = scheme != nullptr ? scheme + 7 : url;
  const char* path = std::strchr(hostStart, '/');
  const size_t hostLength = path != nullptr ? static_cast<size_t>(path - hostStart) : std::strlen(hostStart);
  if (path == nullptr) path = "/";
  char host[kHostFieldSize];
  snprintf(host, sizeof(host), "%.*s", static_cast<int>(hostLength < sizeof(host) ? hostLength : sizeof(host) - 1),
           hostStart);
  SetTarget(host);

  const char* extra = extraHeaders != nullptr ? extraHeaders : "";
  const size_t size = std::strlen(path) + std::strlen(host) + std::strlen(extra) + 128;
  delete[] m_pRequest;
  m_pRequest = new char[size];
  m_pRequest[0] = 0;

  const size_t methodLength = std::strlen(method);
  if (methodLength == 3) {
    snprintf(m_pRequest, size, "%s %s HTTP/1.1\r\nHost: %s\r\n%s\r\n\r\n", method, path, host, extra);
  } else if (methodLength == 4) {
    const char* query = std::strchr(path, '?');
    if (query != nullptr) {
      const char* body = query + 1;
      snprintf(m_pRequest, size,
               "%s %.*s HTTP/1.1\r\nHost: %s\r\n%sContent-Length: %d\r\n"
               "Content-Type: application/x-www-form-urlencoded\r\n\r\n%s",
               method, static_cast<int>(query - path), path, host, extra, static_cast<int>(std::strlen(body)), body);
    } else {
      snprintf(m_pRequest, size,
               "%s %s HTTP/1.1\r\nHost: %s\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n", method, path,
               host);
    }
  }
  m_nRequestLength = static_cast<int>(std::strlen(m_pRequest));
}
