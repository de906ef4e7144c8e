#include "net/SessionRegistry.h"

#include <cstdint>
#include <vector>

#include "infra/Logger.h"
#include "net/IOCPClientSocket.h"
#include "platform/PointerText.h"

CSessionRegistry::~CSessionRegistry() = default;

void CSessionRegistry::AddInUse(CIOCPClientSocket* socket) {
  if (socket == nullptr) return;
  std::lock_guard<std::mutex> guard(m_lock);
  m_inUse.insert(socket);
}

void CSessionRegistry::Release(CIOCPClientSocket* socket) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_inUse.erase(socket) == 0) return;
  m_reusable.push_back(socket);
  m_nReusable.fetch_add(1);
}

CIOCPClientSocket* CSessionRegistry::GetReuseSession() {
  if (m_nReusable.load() == 0) return nullptr;
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_reusable.empty()) return nullptr;
  CIOCPClientSocket* socket = m_reusable.front();
  const uint32_t elapsed = socket->SecondsSinceTimestamp();
  LogAtLevel(LOG_DEBUG, "[%x]GetReuseSession pending=%d using=%d, elapsed=%d, id=%d",
             platform::LowAddress(this), m_nReusable.load(),
             static_cast<int>(m_inUse.size()), static_cast<int>(elapsed), socket->GetId());
  if (elapsed < kReuseRestSeconds) return nullptr;
  m_reusable.pop_front();
  m_nReusable.fetch_sub(1);
  m_inUse.insert(socket);
  socket->SetRegistry(this);
  socket->StampTimestamp();
  return socket;
}

void CSessionRegistry::Sweep() {
  std::vector<CIOCPClientSocket*> silent;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (CIOCPClientSocket* socket : m_inUse) {
      if (static_cast<int64_t>(socket->SecondsSinceTimestamp()) > m_nIdleLimit) silent.push_back(socket);
    }
  }
  for (CIOCPClientSocket* socket : silent) socket->CloseIfIdle();
}

int CSessionRegistry::InUseCount() {
  std::lock_guard<std::mutex> guard(m_lock);
  return static_cast<int>(m_inUse.size());
}
