#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>

#include "app/CameraMainDlg.h"
#include "app/Resources.h"
#include "camera_config/CameraInfoMgr.h"
#include "capture/CameraWndMgr.h"
#include "capture/CaptureStats.h"
#include "framework/Application.h"
#include "framework/Messages.h"
#include "gtest/gtest.h"
#include "infra/Logger.h"
#include "media/CameraChannels.h"
#include "media/CameraHttpServer.h"
#include "platform/NamedEvent.h"
#include "platform/ProgramDir.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "tests/support/LoopbackPeers.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

std::string g_dir;

std::string LogText() { return testfiles::ReadFile(GetLogger().LogPath()); }

bool PumpUntil(const std::function<bool()>& done, int ms = 10000) {
  return nettest::WaitUntil([&] { return framework::ProcessEvents(5), done(); }, ms);
}

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_dir = testfiles::MakeTempDir("vtmain");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("VTCAM_CAPTURE", "test:motion=6,hold=3", 1);
    setenv("XDG_CONFIG_HOME", g_dir.c_str(), 1);
    setenv("VTCAM_PORT_MAPPER", VT_SOURCE_DIR "/tools/upnpc-standin.sh", 0);
    framework::InitApplication(nullptr, nullptr);
    GetLogger().SetExecutablePath(g_dir + "/VantorHomeCamera");
    platform::SetProgramDirectory(g_dir);  // undelivered clips go here
    InitLog(0);
    GetCameraInfoMgr().SetDefaults();
    platform::SetConvertorDirectory(VT_BIN_DIR);
    SetCameraChannels(&GetCameraWndMgr());
    ASSERT_EQ(StartServers(), 1);
    stop_.Create("main-dialog-test-" + std::to_string(getpid()));
    server_ = platform::StartNamedThread("tServer", [this] { RunServer(stop_, nullptr); });
  }
  void TearDown() override {
    stop_.Set();
    server_.join();
    CloseLog();
    framework::ShutdownApplication();
    fs::remove_all(g_dir);
  }

 private:
  platform::CNamedEvent stop_;
  std::thread server_;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new Environment);

class MainDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dlg_ = new CCameraMainDlg;
    SetMainWnd(dlg_);
    dlg_->OnInitDialog();
    framework::ProcessEvents(50);
  }
  static void TearDownTestSuite() {
    GetCameraWndMgr().Stop();
    SetMainWnd(nullptr);
    delete dlg_;
  }
  static CCameraMainDlg* dlg_;
};
CCameraMainDlg* MainDialogTest::dlg_ = nullptr;

}  // namespace

TEST_F(MainDialogTest, StatusButtonsToggleArmingAndRefresh) {
  CCameraInfo* info = GetCameraInfoMgr().GetCameraInfo(0);
  info->SetAlarmStatus(0);
  const auto button = [](int id) {
    return std::tuple(dlg_->ControlText(id), dlg_->ButtonIcon(id), dlg_->ButtonTextColour(id));
  };
  for (int click = 0; click < 3; ++click) {
    if (click > 0) dlg_->PostMessage(WM_STATUS_BUTTON, IDC_ALARM_BUTTON, 0);
    framework::ProcessEvents(50);  // the click, then the store's refresh message
    const bool armed = click == 1;
    EXPECT_EQ(info->GetAlarmStatus(), armed ? 1 : 0) << click;
    EXPECT_EQ(button(IDC_ALARM_BUTTON), std::tuple(armed ? kStrArmed : kStrDisarmed, armed ? IDI_ARMED : IDI_DISARMED,
                                                   armed ? 0xFF0000u : 0u)) << click;
  }
  dlg_->PostMessage(WM_STATUS_BUTTON, IDC_SOUND_BUTTON, 0);
  framework::ProcessEvents(50);
  EXPECT_EQ(info->GetAudioEnable(), 0);  // sound stays off
  EXPECT_FALSE(dlg_->IsWindowVisible());  // no screen: the window is never laid out or painted
  EXPECT_EQ(std::get<0>(button(IDC_SOUND_BUTTON)), kStrSoundOff);
  EXPECT_EQ(std::get<1>(button(IDC_SOUND_BUTTON)), IDI_SOUND_OFF);
}

int64_t ArmingClickHandledWithinMs(CCameraMainDlg* dlg) {
  const int before = GetCameraInfoMgr().GetCameraInfo(0)->GetAlarmStatus();
  const auto start = std::chrono::steady_clock::now();
  dlg->PostMessage(WM_STATUS_BUTTON, IDC_ALARM_BUTTON, 0);
  PumpUntil([&] { return GetCameraInfoMgr().GetCameraInfo(0)->GetAlarmStatus() != before; }, 30000);
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(MainDialogTest, WindowStaysResponsiveWhileAnUploadHangs) {
  uint16_t port = 0;
  int silent = nettest::ListenBlocking(&port);  // never accepts
  while (port >= 50000) close(silent), silent = nettest::ListenBlocking(&port);  // 50000 and up: active mode
  GetCameraInfoMgr().GetCameraInfo(0)->SetFtpConfig("127.0.0.1", "cam", "pw", "clips", port);

  const uint32_t tick = platform::GetTickCount() - 5000;
  dlg_->PostMessage(WM_CAMERA_ALARM, tick, 0);
  dlg_->PostMessage(WM_CAMERA_ALARM, tick + 1, 0);
  framework::ProcessEvents(50);
  const std::string log = LogText();
  EXPECT_NE(log.find("MD Triggered, PrepareUploadFile, channel=0, tick=" + std::to_string(tick)), std::string::npos);
  EXPECT_EQ(log.find("PrepareUploadFile failed! channel=0, tick=" + std::to_string(tick) + "\r"), std::string::npos);
  EXPECT_NE(log.find("PrepareUploadFile failed! channel=0, tick=" + std::to_string(tick + 1)), std::string::npos);

  pollfd pending{silent, POLLIN, 0};
  ASSERT_TRUE(PumpUntil([&] {
    return poll(&pending, 1, 0) == 1 && dlg_->TimerPeriod(CCameraMainDlg::TIMER_ALARM_UPLOAD_BASE) == -1;
  }));
  EXPECT_LT(ArmingClickHandledWithinMs(dlg_), 200);
  close(silent);  // the upload fails and its clip is spooled (its file: system test)
  ASSERT_TRUE(PumpUntil([] { return LogText().find("UploadAlarmAVData ret=0, channel=0") != std::string::npos; }, 30000));
}

TEST(AlarmUploadDelay, FiresWhenFiveSecondsOfVideoExist) {
  EXPECT_EQ(CCameraMainDlg::AlarmUploadDelay(100000, 100300), 4700u);
  EXPECT_EQ(CCameraMainDlg::AlarmUploadDelay(100000, 106000), 0u);
  EXPECT_EQ(CCameraMainDlg::AlarmUploadDelay(100000, 105000), 0u);
  EXPECT_EQ(CCameraMainDlg::AlarmUploadDelay(0xFFFFFF00u, 0x10u), 5000u - 0x110u);  // across the wrap
}

// Checkpoints while frames come: system test.
TEST_F(MainDialogTest, WatchdogRestartsAStalledCapture) {
  const size_t mark = LogText().size();
  GetCameraWndMgr().GetChannel(0)->CaptureStop();  // no more frames
  CCameraMainDlg::LastCheckpointFrames() = GetCaptureStats().VideoFrames();
  dlg_->OnTimer(CCameraMainDlg::TIMER_CAPTURE_WATCHDOG);
  EXPECT_NE(LogText().find("Restart Device. Long time no video frame captured.", mark), std::string::npos);
  const uint32_t before = GetCaptureStats().VideoFrames();
  for (int i = 0; i < 100 && GetCaptureStats().VideoFrames() == before; ++i) framework::ProcessEvents(20);
  EXPECT_GT(GetCaptureStats().VideoFrames(), before);
}

// Log-out and log-in again, three times, while a viewer streams: the channels (and the convertors the
// viewer hangs on) survive every new main window. The fourth window ends with Quit; Enter does not end it.
TEST(MainDialogMenu, ThreeLogoutCyclesKeepAViewerStreamingThenQuit) {
  std::atomic<size_t> received{0};
  std::atomic<bool> finished{false};
  std::thread reader;
  int viewer = -1;
  CCameraWnd* channel = nullptr;
  for (int cycle = 0; cycle < 4; ++cycle) {
    CCameraMainDlg dlg;
    SetMainWnd(&dlg);
    const size_t before = received.load();
    bool streamed = false;
    std::thread user([&] {
      if (cycle == 0) {
        nettest::WaitUntil([] { return GetCameraWndMgr().GetChannel(0) != nullptr; });
        viewer = nettest::ConnectBlocking(GetHttpListenPort());
        nettest::SendAll(viewer, "GET /vdata.flv HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        reader = std::thread([&] {
          char buffer[65536];
          for (ssize_t n; !finished && (n = recv(viewer, buffer, sizeof(buffer), 0)) > 0;) received += static_cast<size_t>(n);
        });
      }
      streamed = nettest::WaitUntil([&] { return received.load() > before + 20000; }, 15000);
      if (cycle < 3) dlg.PostMessage(WM_COMMAND, ID_MENU_LOGOUT, 0);
      else dlg.PostMessage(WM_COMMAND, IDOK, 0), dlg.PostMessage(WM_COMMAND, ID_MENU_QUIT, 0);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    user.join();
    SetMainWnd(nullptr);
    EXPECT_TRUE(streamed) << "cycle " << cycle;
    EXPECT_EQ(dlg.LogoutRequested(), cycle < 3 ? 1 : 0);
    if (cycle == 0) channel = GetCameraWndMgr().GetChannel(0);
    EXPECT_EQ(GetCameraWndMgr().GetChannel(0), channel) << "cycle " << cycle;
  }
  finished = true;
  shutdown(viewer, SHUT_RDWR);
  reader.join();
  close(viewer);
}
