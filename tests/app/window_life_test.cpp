// Window lifetime: posts from other threads while the main window goes away, and a modal
// run that only EndDialog ends. Meant to run under AddressSanitizer as well.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "app/CameraApp.h"
#include "framework/Application.h"
#include "framework/Dialog.h"
#include "framework/Messages.h"
#include "framework/Wnd.h"
#include "gtest/gtest.h"

namespace {

constexpr uint32_t kPing = 0x8001;
constexpr uint32_t kHide = 0x8002;
constexpr uint32_t kEnd = 0x8003;

class CountingDialog : public CDialog {
 public:
  CountingDialog() : CDialog(1, "life", 100, 80) {}
  bool WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    if (message == kPing || message == WM_APP_QUIT) {
      received.fetch_add(1);
      return true;
    }
    if (message == kHide) {
      ShowWindow(SW_HIDE);
      hidden = true;
      PostMessage(kEnd);
      return true;
    }
    if (message == kEnd) {
      EndDialog(7);
      return true;
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }
  std::atomic<int> received{0};
  bool hidden = false;
};

class WindowLifeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { framework::InitApplication(nullptr, nullptr); }
  static void TearDownTestSuite() { framework::ShutdownApplication(); }
};

}  // namespace

// Posters keep going (as capture threads, the store's notifier and NotifyShutdown do) while
// the start-up thread ends windows, half of them without clearing the main window first.
TEST_F(WindowLifeTest, PostsToAVanishingMainWindowAreDropped) {
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
  int delivered = 0;
  for (int round = 0; round < 40; ++round) {
    auto* dlg = new CountingDialog;
    SetMainWnd(dlg);
    while (dlg->received.load() < 20) framework::ProcessEvents(1);
    CWnd* stale = GetMainWnd();
    if (round % 2 == 0) SetMainWnd(nullptr);
    delivered += dlg->received.load();
    delete dlg;
    EXPECT_EQ(GetMainWnd(), nullptr);
    ASSERT_NE(stale, nullptr);
    EXPECT_FALSE(stale->PostMessage(kPing));
    EXPECT_FALSE(stale->IsWindowEnabled());
    framework::ProcessEvents(2);  // events queued for the dead window must not be delivered
  }
  stop.store(true);
  for (auto& t : posters) t.join();
  EXPECT_GE(delivered, 40 * 20);
}

TEST_F(WindowLifeTest, HidingDoesNotEndTheModalRun) {
  CountingDialog dlg;
  dlg.PostMessage(kHide);  // hides, then asks for the end with a further message
  EXPECT_EQ(dlg.DoModal(), 7);
  EXPECT_TRUE(dlg.hidden);
  EXPECT_FALSE(dlg.IsModalRunning());
}
