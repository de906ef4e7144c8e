#include "remote/FtpControl.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "infra/Logger.h"
#include "remote/FtpReply.h"

namespace remote {

namespace {

constexpr int kSocketTimeoutMs = 10000;
constexpr int kAcceptWaitMs = 5000;
std::atomic<int> g_socketTimeoutMs{kSocketTimeoutMs};
std::atomic<int> g_acceptWaitMs{kAcceptWaitMs};

}  // namespace

int FtpSocketTimeoutMs() { return g_socketTimeoutMs.load(); }
int FtpAcceptWaitMs() { return g_acceptWaitMs.load(); }

void SetFtpTimeoutsForTest(int socketTimeoutMs, int acceptWaitMs) {
  g_socketTimeoutMs.store(socketTimeoutMs > 0 ? socketTimeoutMs : kSocketTimeoutMs);
  g_acceptWaitMs.store(acceptWaitMs > 0 ? acceptWaitMs : kAcceptWaitMs);
}

void SetClientSocketTimeouts(int socket) {
  const int ms = FtpSocketTimeoutMs();
  const timeval timeout{ms / 1000, (ms % 1000) * 1000};
  // On Linux the send time-out bounds connect() as well, so no connect waits for minutes.
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

bool ResolveIPv4(const char* host, in_addr* address) {
  // Names beginning with a digit ("1drv.example") that are no dotted address go to the
  // lookup as well.
  if (inet_aton(host, address) != 0) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    LogWithLastError("gethostbyname(%s) failed.", host);
    return false;
  }
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

const char* ErrorText(int error, char* buffer, int size) {
  return strerror_r(error, buffer, static_cast<size_t>(size));
}

int FtpReadLine(int socket, char* buffer, int capacity) {
  CFtpLineAssembler line(buffer, capacity);
  for (;;) {
    char byte = 0;
    const ssize_t got = recv(socket, &byte, 1, 0);
    if (got == 1) {
      if (line.Add(byte)) return 0;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    char text[128];
    Log("read %s\n", ErrorText(got == 0 ? ECONNRESET : errno, text, sizeof(text)));
    return -2;
  }
}

int FtpReadReply(int socket) {
  CFtpReplyRule rule;
  char line[kFtpReplyLineSize];
  for (;;) {
    if (FtpReadLine(socket, line, sizeof(line)) != 0) return -2;
    Log("FTP: %s\n", line);
    if (rule.Take(line)) return rule.Class();
  }
}

int FtpSendCommand(int socket, const char* command, const char* argument) {
  char line[kFtpCommandLineSize];
  const int length = FormatFtpCommand(command, argument, line);
  if (length < 0) {
    Log("FTP: %s command to long\n", command);
    return -2;
  }
  Log("FTP: Sending %s command\n", command);
  const ssize_t sent = send(socket, line, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (sent < 0) {
    char text[128];
    Log("write %s\n", ErrorText(errno, text, sizeof(text)));
    return -2;
  }
  if (sent != length) {
    Log("write truncated!\n");
    return -2;
  }
  return FtpReadReply(socket);
}

}  // namespace remote
