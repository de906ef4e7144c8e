#include "net/IOCPSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "infra/Logger.h"
#include "net/MessageBuffer.h"
#include "platform/PointerText.h"
#include "platform/Tick.h"

namespace pc = platform::completion;

namespace {

std::atomic<int> g_nextSocketId{0};

// Retire waits here for the last completion of a socket. One pair for all sockets: the
// wait is rare and the notifier must not touch the socket after its count reached 0.
std::mutex g_idleLock;
std::condition_variable g_idleCv;

constexpr uint32_t kAddressArea = 32;
constexpr int kBacklog = 200;

}  // namespace

CIOCPSocket::CIOCPSocket() : m_nId(g_nextSocketId.fetch_add(1)) {
  m_recvPackage.owner = this;
  m_recvPackage.write = 0;
  m_sendTemplate.owner = this;
  m_sendTemplate.write = 1;
  StampTimestamp();
}

CIOCPSocket::~CIOCPSocket() {
  Retire();
  delete m_pRecvBuffer;
  delete m_pSendBuffer;
}

int CIOCPSocket::ProcessRecvBuffer() { return 1; }

void CIOCPSocket::OnDestroy() {}

void CIOCPSocket::Maintenance() {}

void CIOCPSocket::Recycle() {}

void CIOCPSocket::OnReceiveResumed() { PostRecv(); }

uint32_t CIOCPSocket::HoldReceive() {
  uint32_t id = m_nHoldSerial.fetch_add(1) + 1;
  if (id == 0) id = m_nHoldSerial.fetch_add(1) + 1;
  m_hold.store((uint64_t{id} << 32) | 2u);
  return id;
}

void CIOCPSocket::ResumeReceive(uint32_t hold) {
  uint64_t current = m_hold.load();
  do {
    if (static_cast<uint32_t>(current >> 32) != hold || (current & 0xFFFFFFFFu) == 0) return;
  } while (!m_hold.compare_exchange_weak(current, current - 1));
  if ((current & 0xFFFFFFFFu) == 1) OnReceiveResumed();
}

void CIOCPSocket::FinishReceive(int result) {
  if (result == 0) {
    Close();
    return;
  }
  const uint64_t hold = m_hold.load();
  if ((hold & 0xFFFFFFFFu) != 0) ResumeReceive(static_cast<uint32_t>(hold >> 32));
  else PostRecv();
}

uint32_t CIOCPSocket::SendStallMs() const {
  if (m_nPending.load() == 0 || m_nQueuedBytes.load() <= 0) return 0;
  return platform::GetTickCount() - m_sendProgressTick.load();
}

void CIOCPSocket::StampTimestamp() { m_timestamp.store(platform::GetTickCount()); }

uint32_t CIOCPSocket::SecondsSinceTimestamp() const { return (platform::GetTickCount() - m_timestamp.load()) / 1000u; }

void CIOCPSocket::BeginOperation() { m_nOutstanding.fetch_add(1); }

void CIOCPSocket::EndOperation() {
  if (m_nOutstanding.fetch_sub(1) != 1) return;
  std::lock_guard<std::mutex> guard(g_idleLock);
  g_idleCv.notify_all();
}

void CIOCPSocket::Retire() {
  {
    std::lock_guard<std::mutex> guard(m_handleLock);
    m_bRetired = true;
  }
  DestorySocket();
  std::unique_lock<std::mutex> lock(g_idleLock);
  g_idleCv.wait(lock, [this] { return m_nOutstanding.load() == 0; });
}

int CIOCPSocket::CreateSocketLocked() {
  if (m_bRetired) return 0;
  if (m_pRecvBuffer == nullptr) m_pRecvBuffer = new CMessageBuffer();
  if (m_pSendBuffer == nullptr) m_pSendBuffer = new CMessageBuffer();
  if (m_hSocket.load() == kInvalidSocket) {
    StampTimestamp();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      LogWithLastError("socket can not initial.");
      return 0;
    }
    m_hSocket.store(fd);
  }
  m_bClosing.store(false);
  m_hold.store(0);
  return 1;
}

int CIOCPSocket::CreateSocket() {
  std::lock_guard<std::mutex> guard(m_handleLock);
  return CreateSocketLocked();
}

int CIOCPSocket::Listen(uint16_t port, uint32_t address) {
  if (!CreateSocket()) return 0;
  std::lock_guard<std::mutex> guard(m_handleLock);
  const int fd = m_hSocket.load();
  // Restarting must not wait for the previous run's connections to leave TIME_WAIT.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    LogWithLastError("bind(%x:%d) failed.", address, port);
    return 0;
  }
  if (listen(fd, kBacklog) != 0) {
    LogWithLastError("listen(..) failed.");
    return 0;
  }
  if (!pc::BindIoCompletionCallback(fd, OnIoCompletion)) {
    LogWithLastError("BindIoCompletionCallback failed.");
    return 0;
  }
  return 1;
}

int CIOCPSocket::Send(const char* data, int length) { return Send(data, length, nullptr); }

int CIOCPSocket::Send(const char* data, int length, SharedReference* shared) {
  if (m_bClosing.load()) return 0;
  if (data == nullptr) return 0;
  if (length < 0) length = static_cast<int>(std::strlen(data));
  // A write of nothing would complete with 0 bytes, which reads as a closed connection.
  if (length == 0) return 1;
  return NetWrite(SendPackage::Make(m_sendTemplate, data, static_cast<uint32_t>(length), shared));
}

int CIOCPSocket::NetWrite(SendPackage* package) {
  if (m_nPending.fetch_add(1) == 0) m_sendProgressTick.store(platform::GetTickCount());
  m_nQueuedBytes.fetch_add(package->buffer.len);
  // Counted first, checked second (Close does the opposite): a send racing with Close on
  // another thread is either refused here or seen by Close as in flight, never queued and
  // then cut off by a close that thought the socket idle.
  if (m_bClosing.load()) {
    m_nQueuedBytes.fetch_sub(package->buffer.len);
    SendPackage::Free(package);
    if (m_nPending.fetch_sub(1) == 1 && m_bClosing.load()) CloseIfIdle();
    return 0;
  }
  BeginOperation();
  int fd = kInvalidSocket;
  int error = 0;
  {
    std::lock_guard<std::mutex> guard(m_handleLock);
    fd = m_hSocket.load();
    error = fd == kInvalidSocket ? EBADF : pc::Send(fd, package->buffer.buf, package->buffer.len, package);
  }
  if (error != 0) {
    errno = error;
    LogWithLastError("[%d.%d]Error occured while calling NetWrite(..),(pending=%d)", m_nId, fd, m_nPending.load());
    m_nQueuedBytes.fetch_sub(package->buffer.len);
    m_nPending.fetch_sub(1);
    SendPackage::Free(package);
    EndOperation();
    return 0;
  }
  StampTimestamp();
  return 1;
}

int CIOCPSocket::PostRecv() {
  m_nRecvBytes = 0;
  if (m_nState.load() != kConnected) return 0;
  int free = 0;
  char* area = m_pRecvBuffer->GetWriteBuffer(&free);
  if (free <= 0) return 0;
  m_recvPackage.buffer.buf = area;
  m_recvPackage.buffer.len = static_cast<uint32_t>(free);
  BeginOperation();
  int fd = kInvalidSocket;
  int error = 0;
  {
    std::lock_guard<std::mutex> guard(m_handleLock);
    fd = m_hSocket.load();
    error = fd == kInvalidSocket ? EBADF : pc::Recv(fd, area, static_cast<uint32_t>(free), &m_recvPackage);
  }
  if (error != 0) {
    errno = error;
    LogWithLastError("[%d.%d]Error occured while calling WSARecv(..)", m_nId, fd);
    DestorySocket();
    EndOperation();
    return 0;
  }
  return 1;
}

void CIOCPSocket::DestorySocket() {
  int fd = kInvalidSocket;
  {
    std::lock_guard<std::mutex> guard(m_handleLock);
    fd = m_hSocket.exchange(kInvalidSocket);
  }
  if (fd == kInvalidSocket) return;
  m_nState.store(kClosed);
  OnDestroy();
  pc::CancelIo(fd);
  shutdown(fd, SHUT_RDWR);
  pc::CloseSocket(fd);
  LogAtLevel(LOG_DEBUG, "[%d]CIOCPSocket::DestorySocket %d package left.", m_nId, m_nPending.load());
}

bool CIOCPSocket::CanClose() const { return m_nState.load() != kClosed && m_nPending.load() == 0; }

void CIOCPSocket::Close() {
  LogAtLevel(LOG_DEBUG, "[%d]CIOCPSocket::Close %d packages left.", m_nId, m_nPending.load());
  m_bClosing.store(true);
  if (m_nPending.load() == 0) CloseIfIdle();
}

void CIOCPSocket::CloseIfIdle() {
  if (CanClose()) {
    DestorySocket();
    Recycle();
  } else {
    m_bClosing.store(true);
  }
}

void CIOCPSocket::Dump() {
  const int fd = m_hSocket.load();
  uint32_t seconds = pc::kNotConnected;
  if (fd != kInvalidSocket) pc::GetConnectTime(fd, &seconds);
  const time_t stamp = time(nullptr) - static_cast<time_t>(SecondsSinceTimestamp());
  tm local{};
  localtime_r(&stamp, &local);
  char text[64];
  strftime(text, sizeof(text), "%a %b %d %H:%M:%S %Y", &local);
  printf("\nid=%d, nState=%d, socket=%d, conn_time=%ds, timestamp=%s", m_nId, m_nState.load(), fd,
         static_cast<int>(seconds), text);
}

void CIOCPSocket::OnIoCompletion(uint32_t status, uint32_t bytes, pc::Overlapped* overlapped) {
  if (overlapped == nullptr) return;
  auto* package = static_cast<SendPackage*>(overlapped);
  CIOCPSocket* socket = package->owner;
  socket->HandleCompletion(status, bytes, package);
  socket->EndOperation();  // last touch of the socket
}

void CIOCPSocket::FinishWrite(SendPackage* package, uint32_t bytes) {
  m_nSentBytes = bytes;
  // The connect's record is the embedded template, not a package of its own.
  if (package != &m_sendTemplate) {
    m_sendProgressTick.store(platform::GetTickCount());
    m_nQueuedBytes.fetch_sub(package->buffer.len);
  }
  m_nPending.fetch_sub(1);
  if (package != &m_sendTemplate) SendPackage::Free(package);
}

void CIOCPSocket::HandleCompletion(uint32_t status, uint32_t bytes, SendPackage* package) {
  const bool isWrite = package->write != 0;

  if (status == pc::kStatusSuccess && bytes == 0) {
    Log("[%d.%d]recv 0 bytes, destroy socket", m_nId, m_hSocket.load());
    // A connect without request bytes lands here too; its count must not stay pending.
    if (isWrite) FinishWrite(package, 0);
    DestorySocket();
    Recycle();
    return;
  }

  if (status == pc::kStatusSuccess && !isWrite) {
    if (m_nState.load() == kAccepting) {
      m_nState.store(kConnected);
      pc::GetAcceptExSockaddrs(m_recvPackage.buffer.buf, m_recvPackage.buffer.len, kAddressArea, kAddressArea,
                               &m_localAddr, &m_remoteAddr);
      char remote[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &m_remoteAddr.sin_addr, remote, sizeof(remote));
      const int fd = m_hSocket.load();
      Log("[%d.%d.%x.%d]Connected from %s:%d", m_nId, fd, platform::LowAddress(this),
          m_nState.load(), remote, ntohs(m_remoteAddr.sin_port));
      if (fd != kInvalidSocket && pc::BindIoCompletionCallback(fd, OnIoCompletion)) StampTimestamp();
    }
    m_pRecvBuffer->CommitWrite(static_cast<int>(bytes));
    m_nRecvBytes = bytes;
    StampTimestamp();
    FinishReceive(ProcessRecvBuffer());
    return;
  }

  if (status == pc::kStatusSuccess) {
    if (m_nState.load() == kConnecting) {
      Log("[%d.%d]Socket connected to server", m_nId, m_hSocket.load());
      m_nState.store(kConnected);
      PostRecv();
    }
    FinishWrite(package, bytes);
    if (m_bClosing.load() && m_nPending.load() == 0) {
      LogAtLevel(LOG_DEBUG, "[%d]Close socket because all packages have been sent.", m_nId);
      m_bClosing.store(false);
      DestorySocket();
      Recycle();
    }
    return;
  }

  if (!isWrite) LogAtLevel(LOG_DEBUG, "[%d]socket %d got error %x, write=%d", m_nId, m_hSocket.load(), status, 0);
  else FinishWrite(package, bytes);
  if (m_bClosing.load()) {
    if (CanClose()) {
      m_bClosing.store(false);
      DestorySocket();
      Recycle();
    }
    return;
  }
  // What a local close leaves behind.
  if (status == pc::kStatusLocalDisconnect || status == pc::kStatusCancelled || status == pc::kStatusConnectionAborted)
    return;
  if (CanClose()) {
    DestorySocket();
    Recycle();
  }
}
