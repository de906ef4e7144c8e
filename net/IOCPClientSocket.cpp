#include "net/IOCPClientSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "infra/Logger.h"
#include "net/SessionRegistry.h"

namespace pc = platform::completion;

CIOCPClientSocket::~CIOCPClientSocket() {
  Retire();
  delete[] m_pRequest;
}

void CIOCPClientSocket::SetTarget(const char* hostText) {
  if (hostText == nullptr) return;
  char host[256];
  const char* colon = std::strchr(hostText, ':');
  const size_t hostLength = colon != nullptr ? static_cast<size_t>(colon - hostText) : std::strlen(hostText);
  snprintf(host, sizeof(host), "%.*s", static_cast<int>(hostLength), hostText);
  const long port = colon != nullptr ? std::strtol(colon + 1, nullptr, 10) : 0;
  Resolve(host, port < 1 || port > 65535 ? kDefaultPort : static_cast<uint16_t>(port));
}

int CIOCPClientSocket::Resolve(const char* host, uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (std::atoi(host) != 0) {
    target.sin_addr.s_addr = inet_addr(host);
  } else {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host, nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
      if (result != EAI_SYSTEM) errno = EHOSTUNREACH;
      LogWithLastError("gethostbyname(%s) failed.", host);
      if (found != nullptr) freeaddrinfo(found);
      return 0;
    }
    target.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
  }
  m_targetAddr = target;
  m_nTargetPort = port;
  return 1;
}

void CIOCPClientSocket::SetRequestData(const char* data, int length) {
  delete[] m_pRequest;
  m_pRequest = nullptr;
  m_nRequestLength = 0;
  if (data == nullptr) return;
  if (length < 0) length = static_cast<int>(std::strlen(data));
  m_pRequest = new char[static_cast<size_t>(length) + 1];
  std::memcpy(m_pRequest, data, static_cast<size_t>(length));
  m_pRequest[length] = 0;
  m_nRequestLength = length;
}

int CIOCPClientSocket::ConnectTo() {
  int fd = kInvalidSocket;
  bool bound = false;
  {
    std::lock_guard<std::mutex> guard(m_handleLock);
    if (!CreateSocketLocked()) return 0;
    fd = m_hSocket.load();
    sockaddr_in any{};
    any.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof(any));
    bound = pc::BindIoCompletionCallback(fd, OnIoCompletion);
  }
  if (!bound) {
    DestorySocket();
    return 0;
  }
  m_nState.store(kConnecting);
  m_pRecvBuffer->Reset();
  printf("\n[%d]CIOCPClientSocket::ConnectTo(ip=%x port=%d)", m_nId, ntohl(m_targetAddr.sin_addr.s_addr),
         m_nTargetPort);
  // Counted up rather than set to 1: cancelled sends of the previous connection may still
  // be on their way back and take their own counts off.
  m_nPending.fetch_add(1);
  BeginOperation();
  int error = 0;
  {
    std::lock_guard<std::mutex> guard(m_handleLock);
    fd = m_hSocket.load();
    error = fd == kInvalidSocket
                ? EBADF
                : pc::ConnectEx(fd, m_targetAddr, m_pRequest, static_cast<uint32_t>(m_nRequestLength), &m_sendTemplate);
  }
  if (error != 0) {
    m_nPending.fetch_sub(1);
    DestorySocket();
    EndOperation();
    return 0;
  }
  StampTimestamp();
  return 1;
}

void CIOCPClientSocket::Maintenance() {
  if (m_nState.load() == kConnected && SecondsSinceTimestamp() > kInactiveSeconds) {
    printf("\nMaintenance is shutting inactive(connected) client #%d down.", m_nId);
    DestorySocket();
    ConnectTo();
  }
}

void CIOCPClientSocket::Recycle() {
  CSessionRegistry* registry = m_pRegistry.exchange(nullptr);
  if (registry == nullptr) return;
  StampTimestamp();
  registry->Release(this);
}
