#include <atomic>
#include <thread>
#include <vector>

#include "app/CameraApp.h"
#include "framework/Application.h"
#include "framework/Dialog.h"
#include "framework/Messages.h"
#include "gtest/gtest.h"

namespace {

constexpr uint32_t kPing = 0x8001;

struct LifeDialog : CDialog {
  LifeDialog() : CDialog(1, "life", 100, 80) {}
  bool WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    if (message != kPing && message != WM_APP_QUIT) return CDialog::WindowProc(message, wParam, lParam);
    ++received;
    return true;
  }
  std::atomic<int> received{0};
};

}  // namespace

// That hiding a modal window does not end its run is a system test.
TEST(WindowLifeTest, PostsToAVanishingMainWindowAreDropped) {
  framework::InitApplication(nullptr, nullptr);
  std::atomic<bool> stop{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&, t] {
      while (!stop.load()) {
        if (CWnd* wnd = GetMainWnd()) {
          std::this_thread::yield();  // widen the gap between the look-up and the post
          if (t == 0) NotifyShutdown();
          else wnd->PostMessage(kPing);
        }
      }
    });
  }
  for (int round = 0; round < 40; ++round) {
    auto* dlg = new LifeDialog;
    SetMainWnd(dlg);
    while (dlg->received.load() < 20) framework::ProcessEvents(1);
    CWnd* stale = GetMainWnd();
    if (round % 2 == 0) SetMainWnd(nullptr);
    delete dlg;
    EXPECT_EQ(GetMainWnd(), nullptr);
    EXPECT_FALSE(stale->PostMessage(kPing));
    framework::ProcessEvents(2);  // nothing queued for the dead window may be delivered
  }
  stop.store(true);
  for (auto& t : posters) t.join();
  framework::ShutdownApplication();
}
