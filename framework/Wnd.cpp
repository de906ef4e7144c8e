#include "framework/Wnd.h"

#include <atomic>
#include <mutex>

namespace {

// Held across each forwarded call, so the window cannot be swapped and destroyed midway.
std::mutex g_lock;
CWnd* g_target = nullptr;
std::atomic<bool> g_hasTarget{false};

class MainWndStandIn final : public CWnd {
 public:
  bool PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_target && g_target->PostMessage(message, wParam, lParam);
  }
  bool IsWindowEnabled() const override {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_target && g_target->IsWindowEnabled();
  }
};

MainWndStandIn g_standIn;

}  // namespace

CWnd* GetMainWnd() { return g_hasTarget.load(std::memory_order_acquire) ? &g_standIn : nullptr; }

void SetMainWnd(CWnd* wnd) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_target = wnd;
  g_hasTarget.store(wnd != nullptr, std::memory_order_release);
}

void ForgetMainWnd(CWnd* wnd) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_target != wnd) return;
  g_target = nullptr;
  g_hasTarget.store(false, std::memory_order_release);
}
