#include "media/RequestGuard.h"

#include <atomic>

#include "media/CameraRequestSession.h"
#include "platform/Tick.h"

namespace {

// Written by the server thread, read by completion threads.
std::atomic<CCameraRequestSession*> g_sessions{nullptr};
std::atomic<int> g_count{0};

}  // namespace

void SetRequestPool(CCameraRequestSession* sessions, int count) {
  g_sessions.store(nullptr);
  g_count.store(sessions ? count : 0);
  g_sessions.store(sessions);
}

void RelievePoolPressure(CCameraRequestSession* arriving) {
  CCameraRequestSession* sessions = g_sessions.load();
  const int count = g_count.load();
  if (!sessions) return;
  const uint32_t now = platform::GetTickCount();
  CCameraRequestSession* oldest = nullptr;
  uint32_t oldestWait = 0;
  for (int i = 0; i < count; ++i) {
    CCameraRequestSession& session = sessions[i];
    const CCameraRequestSession::WaitState state = session.GetWaitState(now);
    if (state.wait == CCameraRequestSession::Wait::kFree) return;
    if (&session == arriving || state.wait != CCameraRequestSession::Wait::kPartial) continue;
    if (state.waitedMs >= kPressureWaitMs && state.waitedMs >= oldestWait) {
      oldest = &session;
      oldestWait = state.waitedMs;
    }
  }
  if (oldest) oldest->CloseStalled(now, kPressureWaitMs, true, "the pool is full and the request unfinished");
}

void GuardRequestSessions() {
  CCameraRequestSession* sessions = g_sessions.load();
  const int count = g_count.load();
  if (!sessions) return;
  const uint32_t now = platform::GetTickCount();
  for (int i = 0; i < count; ++i)
    sessions[i].CloseStalled(now, kRequestLimitMs, false, "no whole request within 10 s");
  RelievePoolPressure(nullptr);
}
