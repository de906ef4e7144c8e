#include "remote/FtpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "infra/Logger.h"
#include "platform/Tick.h"
#include "remote/FtpControl.h"
#include "remote/FtpReply.h"
#include "remote/HostIdentity.h"

namespace remote {

namespace {

constexpr int kChunkSize = 1400;
constexpr int kAttempts = 3;
constexpr uint32_t kAttemptPauseMs = 3000;
constexpr uint16_t kActiveModeBase = 50000;
// Settings holding a control character: they would smuggle commands onto the connection.
constexpr int kRefusedSettings = -5;

void CloseSocket(int socket) {
  if (socket >= 0) close(socket);
}

void LogErrno(const char* format, int error) {
  char text[128];
  Log(format, ErrorText(error, text, sizeof(text)));
}

// The first setting that would carry a control character onto the control connection.
const char* FieldWithControlCharacter(const FTPConfig& ftp) {
  if (HasControlCharacter(ftp.serverAddr, sizeof(ftp.serverAddr))) return "server address";
  if (HasControlCharacter(ftp.userName, sizeof(ftp.userName))) return "user name";
  if (HasControlCharacter(ftp.password, sizeof(ftp.password))) return "password";
  if (HasControlCharacter(ftp.remotePath, sizeof(ftp.remotePath))) return "remote path";
  return nullptr;
}

void LogRefused(const char* field) {
  Log("FTP: upload refused: the %s holds a control character\n", field);
}

// Sends PASV and connects to the address of its 227 reply: the data socket, or -1. The
// line ends in CR LF: servers that wait for the full line end never answer a bare LF.
int OpenPassiveData(int control) {
  static const char kPasv[] = "PASV\r\n";
  if (send(control, kPasv, sizeof(kPasv) - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(kPasv) - 1)) {
    LogErrno("write %s\n", errno);
    return -1;
  }
  char line[kFtpPasvLineSize];
  if (FtpReadLine(control, line, sizeof(line)) != 0) return -1;
  if (std::strncmp(line, "227 ", 4) != 0) {
    Log("Couldn't request PASV:[%s]\n", line);
    return -1;
  }
  FtpPassiveTarget target;
  if (ParsePasvReply(line, &target) != 0) return -1;
  Log("FTP: Parse PASV result to %s:%s\n", target.host, target.port);
  const int data = CreateClientSocket();
  if (data < 0 || !ConnectSocketTo(data, target.host, target.port)) {
    CloseSocket(data);
    Log("Error Connecting!\n");
    return -1;
  }
  return data;
}

// The address the server is to connect back to. A server reached over loopback only
// accepts a loopback address back (it refuses foreign ones), so that case keeps the
// control connection's own address instead of the primary one.
uint32_t ActiveModeAddress(int control) {
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  if (getsockname(control, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
      (ntohl(local.sin_addr.s_addr) >> 24) == 127) {
    return ntohl(local.sin_addr.s_addr);
  }
  return GetLocalAddressOrLoopback();
}

// Listens on a wildcard port and announces it with PORT: the listening socket, or a failure.
int OpenActiveData(int control) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    LogErrno("socket: %s\n", errno);
    return -2;
  }
  const auto fail = [listener](const char* format) {
    LogErrno(format, errno);
    close(listener);
    return -2;
  };
  const int on = 1;
  if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) return fail("setsockopt: %s\n");
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  if (bind(listener, reinterpret_cast<const sockaddr*>(&bound), sizeof(bound)) != 0) return fail("bind: %s\n");
  socklen_t length = sizeof(bound);
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return fail("getsockname: %s\n");
  if (listen(listener, 1) != 0) return fail("listen: %s\n");

  char opendatasock[80];
  char argument[80];
  BuildPortTexts(ActiveModeAddress(control), ntohs(bound.sin_port), opendatasock, argument);
  Log("FTP: opendatasock %s\n", opendatasock);
  const int reply = FtpSendCommand(control, "PORT", argument);
  if (reply < 0 || reply != 2) {
    if (reply >= 0) Log("FTP: PORT failed!\n");
    close(listener);
    return reply < 0 ? reply : -2;
  }
  return listener;
}

// In active mode, waits for the server's connection on the listening socket: the data
// socket, or -2. The listening socket is closed either way.
int AcceptActiveData(int listener) {
  Log("FTP: select data connection 5 seconds.\n");
  pollfd wait{listener, POLLIN, 0};
  int ready;
  do {
    ready = poll(&wait, 1, FtpAcceptWaitMs());
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) {
    LogErrno("select on connection: %s\n", ready == 0 ? ETIMEDOUT : errno);
    close(listener);
    return -2;
  }
  Log("FTP: accepting data connection.\n");
  const int data = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (data < 0) {
    LogErrno("listen: %s\n", errno);
    close(listener);
    return -2;
  }
  Log("FTP: after accepted data connection.\n");
  close(listener);
  // A server that accepts the data but stops reading would otherwise block the send for good.
  SetClientSocketTimeouts(data);
  return data;
}

// Sends the whole file on the data connection and closes it on every path.
int SendFile(int data, bool active, int file) {
  std::unique_ptr<char[]> chunk(new (std::nothrow) char[kChunkSize]);
  if (!chunk) {
    close(data);
    return -7;
  }
  if (active && (data = AcceptActiveData(data)) < 0) return data;
  for (;;) {
    const ssize_t got = read(file, chunk.get(), kChunkSize);
    if (got == 0) {
      Log("FTP: after write data to connection.\n");
      close(data);
      return 0;
    }
    if (got < 0) {
      if (errno == EINTR) continue;
      // A clip that cannot be read must not end as a shorter file that looks stored.
      LogErrno("read %s\n", errno);
      close(data);
      return -2;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t sent = send(data, chunk.get() + done, static_cast<size_t>(got - done), MSG_NOSIGNAL);
      if (sent <= 0) {
        LogErrno("write: %s\n", sent == 0 ? EPIPE : errno);
        close(data);
        return -2;
      }
      done += sent;
    }
  }
}

// One store attempt on a logged-in control connection; closes it on every path.
int Store(int control, const FTPConfig& ftp, int file, const char* remoteName) {
  const bool passive = ftp.port < kActiveModeBase;
  const int data = passive ? OpenPassiveData(control) : OpenActiveData(control);
  if (data < 0) {
    Log("FTP: passive=%d data_s=%d\n", passive ? 1 : 0, data);
    close(control);
    return data;
  }
  FtpSendCommand(control, "CWD", ftp.remotePath);  // a missing directory leaves STOR to decide
  int reply = FtpSendCommand(control, "STOR", remoteName);
  if (reply != 1) {
    if (reply >= 0) Log("FTP: STOR failed!\n");
    close(data);
    close(control);
    return reply < 0 ? reply : -6;
  }
  Log("FTP: Sending file...\n");
  const int sent = SendFile(data, !passive, file);
  if (sent != 0) {
    Log("FTP: Sending file failed\n");
    close(control);
    return sent;
  }
  if (FtpReadReply(control) != 2) {
    Log("FTP: Transfer failed!\n");
    close(control);
    return -2;
  }
  reply = FtpSendCommand(control, "QUIT", nullptr);
  close(control);
  if (reply < 0) return reply;
  if (reply != 2) {
    Log("FTP: Quit failed!\n");
    return -2;
  }
  Log("FTP: Connection closed\n");
  return 0;
}

}  // namespace

int CreateClientSocket() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Log("[cts]socket is %d\r\n", s);
  if (s < 0) {
    Log("[cts]can not create socket.\r\n");
    return s;
  }
  SetClientSocketTimeouts(s);
  return s;
}

bool ConnectSocketTo(int socket, const char* host, const char* port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (!ResolveIPv4(host, &address.sin_addr)) return false;
  address.sin_port = htons(static_cast<uint16_t>(LeadingInt(port)));
  Log("[cst]socket %d is connecting to %s:%s\r\n", socket, host, port);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    Log("[cst]can not connect %d to %s:%s.[errno=%d]\r\n", socket, host, port, errno);
    return false;
  }
  return true;
}

int FtpConnectAndLogin(const FTPConfig& ftp) {
  if (const char* field = FieldWithControlCharacter(ftp)) {
    LogRefused(field);
    return kRefusedSettings;
  }
  Log("before av put %s %s %s %u %s (tick=%x)", ftp.serverAddr, ftp.userName, ftp.password,
      static_cast<unsigned>(ftp.port), ftp.remotePath, platform::GetTickCount());
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Log("FTP: socket is %d\r\n", s);
  if (s < 0) {
    Log("FTP: can not create socket.\r\n");
    return -3;
  }
  SetClientSocketTimeouts(s);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (!ResolveIPv4(ftp.serverAddr, &address.sin_addr)) {
    close(s);
    return -1;
  }
  const int port = ftp.port % kActiveModeBase;
  address.sin_port = htons(static_cast<uint16_t>(port));
  Log("FTP: socket %d is connecting to %s:%d\r\n", s, ftp.serverAddr, port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    Log("FTP: can not connect %d to %s:%d.[errno=%d]\r\n", s, ftp.serverAddr, port, errno);
    close(s);
    return -3;
  }
  if (FtpReadReply(s) != 2) {
    Log("FTP: Server refused connection\n");
    close(s);
    return -2;
  }
  if (FtpSendCommand(s, "USER", ftp.userName) != 3) {
    Log("FTP: User %s not accepted\n", ftp.userName);
    close(s);
    return -4;
  }
  int reply = FtpSendCommand(s, "PASS", ftp.password);
  if (reply != 2) {
    if (reply >= 0) Log("FTP: Login failed for User %s\n", ftp.userName);
    close(s);
    return reply < 0 ? reply : -4;
  }
  Log("FTP: Login sucessfull\n");
  reply = FtpSendCommand(s, "TYPE", "I");
  if (reply != 2) {
    if (reply >= 0) Log("FTP: TYPE failed!\n");
    close(s);
    return reply < 0 ? reply : -2;
  }
  return s;
}

bool FtpPutFile(int controlSocket, const FTPConfig& ftp, const char* localPath) {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char remoteName[64];
  std::snprintf(remoteName, sizeof(remoteName), "record_%04d_%02d_%02d_%02d_%02d_%02d.flv", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return FtpPutFileAs(controlSocket, ftp, localPath, remoteName);
}

bool FtpPutFileAs(int controlSocket, const FTPConfig& ftp, const char* localPath, const char* remoteName) {
  const char* field = FieldWithControlCharacter(ftp);
  if (field == nullptr && HasControlCharacter(remoteName, kFtpCommandLineSize)) field = "remote file name";
  if (field != nullptr) {
    LogRefused(field);
    FtpCloseControl(controlSocket);
    return false;
  }
  int result = -1;
  for (int counter = 0;;) {
    Log("FtpPutFile using socket:%d\n", controlSocket);
    if (controlSocket >= 0) {
      const int file = open(localPath, O_RDONLY | O_CLOEXEC);
      if (file < 0) {
        result = -1;
        close(controlSocket);
      } else {
        result = Store(controlSocket, ftp, file, remoteName);
        close(file);
      }
    }
    ++counter;
    Log("FtpPutFile put file complete. ret=%d, counter=%d\n", result, counter);
    if (result == 0 || counter >= kAttempts) break;
    platform::SleepMs(kAttemptPauseMs);
    controlSocket = FtpConnectAndLogin(ftp);
  }
  return result == 0;
}

void FtpCloseControl(int socket) { CloseSocket(socket); }

}  // namespace remote
