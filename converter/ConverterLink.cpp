#include "converter/ConverterLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/ByteOrder.h"

namespace converter {

void EncodeGreeting(uint32_t key, uint8_t out[4]) {
  platform::WriteLE32(out, key);
}

CConverterLink::~CConverterLink() { Close(); }

void CConverterLink::Close() {
  if (m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
}

bool CConverterLink::Open(const std::string& host, uint16_t port, uint32_t key, int timeoutMs,
                          std::string* error) {
  Close();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    *error = "bad address " + host;
    return false;
  }
  m_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (m_fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return false;
  }
  const std::string where = host + ":" + std::to_string(port);
  if (connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (errno != EINPROGRESS) {
      *error = "connect to " + where + ": " + strerror(errno);
      Close();
      return false;
    }
    pollfd pfd{m_fd, POLLOUT, 0};
    const int ready = poll(&pfd, 1, timeoutMs);
    int soError = 0;
    socklen_t len = sizeof(soError);
    if (ready <= 0) {
      *error = "connect to " + where + ": timed out";
      Close();
      return false;
    }
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0) {
      *error = "connect to " + where + ": " + strerror(soError ? soError : errno);
      Close();
      return false;
    }
  }
  // Encoded frames are small and late ones are worthless: send each as soon as it is there.
  const int one = 1;
  setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

  uint8_t greeting[4];
  EncodeGreeting(key, greeting);
  if (!SendAll(greeting, sizeof(greeting), timeoutMs)) {
    *error = "greeting to " + where + ": " + strerror(errno);
    Close();
    return false;
  }
  return true;
}

ssize_t CConverterLink::Receive(uint8_t* buffer, size_t capacity) {
  for (;;) {
    const ssize_t n = recv(m_fd, buffer, capacity, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    return -1;
  }
}

bool CConverterLink::SendAll(const uint8_t* data, size_t length, int timeoutMs) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = send(m_fd, data + done, length - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{m_fd, POLLOUT, 0};
      const int ready = poll(&pfd, 1, timeoutMs);
      if (ready == 0) {
        errno = ETIMEDOUT;
        return false;
      }
      if (ready < 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace converter
