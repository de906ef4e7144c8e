#include "media/StreamConvertorSession.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "infra/Logger.h"
#include "media/ConvertorRegistry.h"
#include "media/StreamConvertor.h"
#include "media/StreamDataBuffer.h"
#include "platform/ByteOrder.h"
#include "platform/PointerText.h"

namespace {

constexpr auto* Hex = &platform::LowAddress;

// Every session that exists, so a convertor being deleted can unpair itself everywhere.
std::mutex g_sessionsLock;
std::vector<CStreamConvertorSession*>& Sessions() {
  static auto* sessions = new std::vector<CStreamConvertorSession*>();
  return *sessions;
}

constexpr int kGreetingRequest = 256;  // leaves the 4096-byte default: capacities only grow
constexpr uint32_t kResetReadBytes = 16;

}  // namespace

CStreamConvertorSession::CStreamConvertorSession() : m_pGreeting(new CDataBuffer()) {
  m_pGreeting->SetSize(kGreetingRequest, 0);
  SetRecvBuffer(m_pGreeting);
  std::lock_guard<std::mutex> guard(g_sessionsLock);
  Sessions().push_back(this);
}

CStreamConvertorSession::~CStreamConvertorSession() {
  Retire();
  {
    std::lock_guard<std::mutex> guard(g_sessionsLock);
    auto& sessions = Sessions();
    sessions.erase(std::remove(sessions.begin(), sessions.end(), this), sessions.end());
  }
  // The base deletes the receive buffer: make sure it is ours, not a convertor's.
  SetRecvBuffer(m_pGreeting);
}

int CStreamConvertorSession::ProcessRecvBuffer() {
  int length = 0;
  char* data = GetRecvBuffer()->GetData(&length);
  if (data == nullptr || length <= 0) return 0;
  if (m_bWaiting.load()) return ProcessGreeting();

  std::lock_guard<std::recursive_mutex> guard(m_pairLock);
  CStreamConvertor* convertor = m_pConvertor.load();
  // Unpaired by a convertor going away: nothing may be received into its buffer any more.
  if (convertor == nullptr) return 0;
  if (m_nSessionKey.load() > kAudioKeyBit) {
    // Nothing is expected on the audio connection after the greeting. Its bytes sit in the
    // greeting buffer, which has no room in front for the stream parser's carried bytes,
    // and parsing them would race the video connection's parse: drop them.
    LogAtLevel(LOG_DEBUG, "[%d]CStreamConvertorSession::ProcessRecvBuffer drops %d bytes on the audio connection.",
               m_nId, length);
    GetRecvBuffer()->Reset();
    return 1;
  }
  if (convertor->OnConvertedData(data, length) == 0) return 0;
  GetRecvBuffer()->Reset();
  return 1;
}

int CStreamConvertorSession::ProcessGreeting() {
  int length = 0;
  char* data = GetRecvBuffer()->GetData(&length);
  if (length < kGreetingBytes) return 0;
  const uint32_t key = platform::ReadLE32(data);
  m_nSessionKey.store(key);

  auto& registry = CConvertorRegistry::Instance();
  registry.WaitForStarts();
  std::lock_guard<std::recursive_mutex> guard(m_pairLock);
  auto* convertor = static_cast<CStreamConvertor*>(registry.Register(key, this));
  Log("[%d]CStreamConvertorSession::ProcessRecvBuffer got pid=%d, this=%x, convertor=%x", m_nId,
      static_cast<int>(key), Hex(this), Hex(convertor));
  if (convertor == nullptr) {
    // No convertor started this process (or not yet): refuse it.
    Log("[%d]CStreamConvertorSession::ProcessRecvBuffer refused converter pid=%d: no convertor started it.", m_nId,
        static_cast<int>(key & ~kAudioKeyBit));
    registry.Unregister(key, this);
    return 0;
  }
  m_pConvertor.store(convertor);
  convertor->AttachSession(this, key);
  CDataBuffer* stream = convertor->GetStream(key);
  SetRecvBuffer(stream != nullptr ? stream : m_pGreeting);
  if (GetRecvBytes() == kResetReadBytes) GetRecvBuffer()->Reset();
  m_bWaiting.store(false);
  return 1;
}

void CStreamConvertorSession::OnDestroy() {
  Log("[%d]CStreamConvertorSession::OnDestroy, sessionKey=%u", m_nId, m_nSessionKey.load());
  std::lock_guard<std::recursive_mutex> guard(m_pairLock);
  CStreamConvertor* convertor = m_pConvertor.exchange(nullptr);
  if (convertor != nullptr) convertor->OnSessionClosed(this);
  m_bWaiting.store(true);
  SetRecvBuffer(m_pGreeting);
}

void CStreamConvertorSession::ForgetConvertor(CStreamConvertor* convertor) {
  std::lock_guard<std::recursive_mutex> guard(m_pairLock);
  CStreamConvertor* expected = convertor;
  m_pConvertor.compare_exchange_strong(expected, nullptr);
}

void CStreamConvertorSession::ForgetConvertorEverywhere(CStreamConvertor* convertor) {
  // Held throughout so no session is deleted under the walk; nothing takes this lock while
  // holding a session's pair lock.
  std::lock_guard<std::mutex> guard(g_sessionsLock);
  for (CStreamConvertorSession* session : Sessions()) session->ForgetConvertor(convertor);
}

CIOCPSocket& ConvertorListener() {
  // Static storage that is never destroyed: completions may still arrive while the
  // process exits.
  static auto* listener = new CIOCPSocket();
  return *listener;
}

namespace {

struct SessionPool {
  std::mutex lock;
  std::vector<CStreamConvertorSession*> sessions;
  bool armed = false;
};

SessionPool& Pool() {
  static auto* pool = [] {
    auto* p = new SessionPool;
    for (int i = 0; i < kConvertorSessionCount; ++i) p->sessions.push_back(new CStreamConvertorSession);
    return p;
  }();
  return *pool;
}

constexpr int kRestartSpare = 2;

}  // namespace

int ConvertorSessionCount() {
  SessionPool& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  return static_cast<int>(pool.sessions.size());
}

CStreamConvertorSession* ConvertorSession(int index) {
  SessionPool& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  return index >= 0 && index < static_cast<int>(pool.sessions.size()) ? pool.sessions[static_cast<size_t>(index)]
                                                                      : nullptr;
}

int ArmConvertorSessions() {
  SessionPool& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.armed = true;
  int armed = 0;
  for (CStreamConvertorSession* session : pool.sessions) {
    session->SetListener(&ConvertorListener());
    armed += session->AcceptFrom();
  }
  return armed;
}

void MaintainConvertorSessions() {
  SessionPool& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  for (CStreamConvertorSession* session : pool.sessions) session->Maintenance();
}

int ReserveConvertorSessions(int connections) {
  SessionPool& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  const size_t wanted = static_cast<size_t>(std::max(connections, 0) + kRestartSpare);
  if (pool.sessions.size() >= wanted) return static_cast<int>(pool.sessions.size());
  while (pool.sessions.size() < wanted) {
    auto* session = new CStreamConvertorSession;
    pool.sessions.push_back(session);
    if (pool.armed) {
      session->SetListener(&ConvertorListener());
      session->AcceptFrom();
    }
  }
  Log("ReserveConvertorSessions: %d converter sessions for %d converter connections.",
      static_cast<int>(pool.sessions.size()), connections);
  return static_cast<int>(pool.sessions.size());
}
