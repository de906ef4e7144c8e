#include "net/IOCPServerSocket.h"

#include <cerrno>
#include <cstdio>

#include "infra/Logger.h"

namespace pc = platform::completion;

namespace {
constexpr uint32_t kAddressArea = 32;
constexpr int kAddressAreas = 2 * kAddressArea;
}  // namespace

CIOCPServerSocket::~CIOCPServerSocket() { Retire(); }

int CIOCPServerSocket::AcceptFrom() {
  if (m_pListener == nullptr) return 0;
  int fd = kInvalidSocket;
  int error = 0;
  {
    std::lock_guard<std::mutex> guard(m_handleLock);
    if (!CreateSocketLocked()) return 0;
    m_nState.store(kAccepting);
    m_pRecvBuffer->Reset();
    int free = 0;
    char* area = m_pRecvBuffer->GetWriteBuffer(&free);
    if (free <= kAddressAreas) return 0;
    m_recvPackage.buffer.buf = area;
    m_recvPackage.buffer.len = static_cast<uint32_t>(free - kAddressAreas);
    fd = m_hSocket.load();
    BeginOperation();
    error = pc::AcceptEx(m_pListener->GetSocket(), fd, area, m_recvPackage.buffer.len, kAddressArea, kAddressArea,
                         &m_recvPackage);
  }
  if (error != 0) {
    LogAtLevel(LOG_ERROR, "[%d]AcceptEx socket %d got error %u", m_nId, fd, static_cast<unsigned>(error));
    DestorySocket();
    EndOperation();
    return 0;
  }
  return 1;
}

void CIOCPServerSocket::Recycle() { AcceptFrom(); }

void CIOCPServerSocket::Maintenance() {
  const int fd = m_hSocket.load();
  switch (m_nState.load()) {
    case kClosed:
      if (SecondsSinceTimestamp() >= kDeadSocketRetrySeconds) {
        LogAtLevel(LOG_DEBUG, "[%d]Try to AcceptFrom a dead socket[%d].", m_nId, fd);
        Recycle();
      }
      break;
    case kAccepting: {
      uint32_t seconds = pc::kNotConnected;
      const int error = fd == kInvalidSocket ? EBADF : pc::GetConnectTime(fd, &seconds);
      if (error != 0) {
        printf("\n[%d.%d]Maintenance error #1 occured: %d", m_nId, fd, error);
        if (fd == kInvalidSocket) Recycle();
      } else if (seconds != pc::kNotConnected && seconds >= kFirstDataSeconds) {
        CloseIfIdle();
      }
      break;
    }
    case kConnected:
      // Queued sends stamp the timestamp and keep CloseIfIdle waiting: a peer that stopped
      // reading is only noticed by its sends not moving.
      if (const int stallLimit = m_nSendStallLimitMs.load(); stallLimit >= 0 && m_nPending.load() > 0 &&
                                                                SendStallMs() >= static_cast<uint32_t>(stallLimit)) {
        Log("[%d]Sends stalled for %u ms, %d packages cancelled.", m_nId, SendStallMs(), m_nPending.load());
        DestorySocket();
        Recycle();
        break;
      }
      if (m_nIdleLimit >= 0 && SecondsSinceTimestamp() > static_cast<uint32_t>(m_nIdleLimit)) CloseIfIdle();
      break;
    default: break;
  }
}

uint32_t CIOCPServerSocket::GetConnectSeconds() const {
  uint32_t seconds = kNotConnected;
  const int fd = m_hSocket.load();
  if (fd == kInvalidSocket || pc::GetConnectTime(fd, &seconds) != 0) return kNotConnected;
  return seconds;
}
