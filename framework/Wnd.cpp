#include "framework/Wnd.h"

#include <atomic>

namespace {
std::atomic<CWnd*> g_mainWnd{nullptr};
}

CWnd* GetMainWnd() { return g_mainWnd.load(std::memory_order_acquire); }
void SetMainWnd(CWnd* wnd) { g_mainWnd.store(wnd, std::memory_order_release); }
