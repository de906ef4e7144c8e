// Which channel previews are made and painted, on a real (virtual) X server: ctest runs this
// one under xvfb-run.
#include <functional>
#include <string>
#include <vector>

#include "framework/Application.h"
#include "framework/Dialog.h"
#include "framework/VideoView.h"
#include "gtest/gtest.h"

namespace {

constexpr int kArea = 1000;

bool Settles(const std::function<bool()>& done) {
  for (int i = 0; i < 200; ++i) {
    framework::ProcessEvents(10);
    if (done()) return true;
  }
  return false;
}

}  // namespace

TEST(VideoViewSeen, OnlyTheTopViewOfAWindowOnScreenIsSeenAndPainted) {
  framework::InitApplication(nullptr, nullptr);
  ASSERT_TRUE(framework::HasScreen()) << "needs an X server (ctest runs it under xvfb-run)";
  {
    CDialog dialog(1, "views", 200, 160);
    dialog.AddControl(kArea, ControlKind::VideoArea, "Video", Rect{0, 0, 180, 140});
    // Three channels at one place, as the main window lays them out, and one beside them.
    std::vector<CVideoView*> views;
    for (int id = 0; id < 3; ++id) views.push_back(dialog.CreateVideoView(kArea, Rect{0, 0, 160, 120}, id));
    views.push_back(dialog.CreateVideoView(kArea, Rect{170, 0, 250, 60}, 3));
    const auto seen = [&] {
      std::string s;
      for (CVideoView* view : views) s += view->IsSeen() ? '1' : '0';
      return s;
    };
    const std::vector<uint8_t> picture(size_t{16} * 12 * 3, 0x80);
    const auto paintsAll = [&] {
      for (CVideoView* view : views) view->ShowImage(picture.data(), 16, 12);
    };
    EXPECT_EQ(seen(), "0000");  // not shown yet

    for (const auto& [show, expected] : std::vector<std::pair<int, std::string>>{
             {CDialog::SW_SHOWNORMAL, "1001"}, {CDialog::SW_SHOWMINNOACTIVE, "0000"}, {CDialog::SW_HIDE, "0000"},
             {CDialog::SW_SHOWNORMAL, "1001"}}) {
      dialog.ShowWindow(show);
      EXPECT_TRUE(Settles([&] { return seen() == expected; })) << show << ": " << seen() << " not " << expected;
      std::vector<uint64_t> before;
      for (CVideoView* view : views) before.push_back(view->FramesShown());
      paintsAll();
      for (size_t i = 0; i < views.size(); ++i)
        EXPECT_EQ(views[i]->FramesShown() - before[i], expected[i] == '1' ? 1u : 0u) << show << " view " << i;
    }
  }
  framework::ShutdownApplication();
}
