#include "app/CameraMainDlg.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/Resources.h"
#include "camera_config/CameraInfoMgr.h"
#include "capture/CameraWndMgr.h"
#include "capture/CaptureStats.h"
#include "capture/IVideoHost.h"
#include "framework/Messages.h"
#include "framework/VideoView.h"
#include "infra/Logger.h"
#include "platform/Tick.h"

namespace {

constexpr uint32_t kButtonFace = 0xF0F0F0;
constexpr uint32_t kRed = 0xFF0000;
constexpr uint32_t kBlack = 0x000000;

// The store's refresh notification, posted to whichever main window is up.
CCameraMainDlg* g_statusTarget = nullptr;
void PostToMainWindow(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (CWnd* wnd = GetMainWnd()) wnd->PostMessage(message, wParam, lParam);
}

class ImageViewAdapter : public IImageView {
 public:
  explicit ImageViewAdapter(CVideoView* view) : m_view(view) {}
  void ShowImage(const uint8_t* bgrBottomUp, int width, int height) override {
    m_view->ShowImage(bgrBottomUp, width, height);
  }
  bool IsSeen() const override { return m_view->IsSeen(); }

 private:
  CVideoView* m_view;
};

}  // namespace

// The video area (control 1000) as the capture channels see it.
class CVideoHostAdapter : public IVideoHost {
 public:
  explicit CVideoHostAdapter(CDialog* dialog) : m_dialog(dialog) {}
  IImageView* CreateView(int x, int y, int width, int height, int id) override {
    CVideoView* view = m_dialog->CreateVideoView(IDC_VIDEO, Rect{x, y, x + width, y + height}, id);
    if (!view) return nullptr;
    m_views.push_back(std::make_unique<ImageViewAdapter>(view));
    return m_views.back().get();
  }
  void ShowMessage(const std::string& text) override { MessageBox(m_dialog, text); }

 private:
  CDialog* m_dialog;
  std::vector<std::unique_ptr<ImageViewAdapter>> m_views;
};

std::string ProgramVersionText() {
  char text[64];
  std::snprintf(text, sizeof(text), "%d%c%d%c%d%c%d", VT_VERSION_MAJOR, '.', VT_VERSION_MINOR, '.',
                VT_VERSION_PATCH, '.', VT_VERSION_TWEAK);
  return text;
}

uint32_t CCameraMainDlg::AlarmUploadDelay(uint32_t alarmTick, uint32_t now) {
  const int32_t delay = static_cast<int32_t>(alarmTick + 5000u - now);
  return delay > 0 ? static_cast<uint32_t>(delay) : 0u;
}

uint32_t& CCameraMainDlg::LastCheckpointFrames() {
  static uint32_t frames = 0;
  return frames;
}

CCameraMainDlg::CCameraMainDlg() : CTrayDialog(IDD_CAMERA_MAIN, kMainTitle, 434, 374) {
  AddControl(IDOK, ControlKind::Button, "确定", Rect{300, 350, 350, 364}, false);
  AddControl(IDCANCEL, ControlKind::Button, "取消", Rect{360, 350, 410, 364}, false);
  AddControl(IDC_VIDEO, ControlKind::VideoArea, "Video", Rect{7, 3, 427, 320});
  AddControl(IDC_STATUS, ControlKind::Button, "Status", Rect{7, 350, 57, 364}, false);
  AddControl(IDC_HIDDEN_EDIT, ControlKind::Edit, "", Rect{60, 350, 120, 364}, false);
  AddControl(-1, ControlKind::Static, kStrLinkCaption, Rect{10, 352, 190, 362});
  AddControl(IDC_LINK, ControlKind::LinkLabel, "", Rect{192, 352, 420, 362});
  AddControl(IDC_ALARM_BUTTON, ControlKind::OwnerDrawButton, "布防状态", Rect{10, 326, 90, 344});
  AddControl(IDC_SOUND_BUTTON, ControlKind::OwnerDrawButton, "声音状态", Rect{340, 326, 420, 344});
}

CCameraMainDlg::~CCameraMainDlg() {
  if (g_statusTarget == this) {
    SetMainWindowPoster(nullptr);
    g_statusTarget = nullptr;
  }
}

bool CCameraMainDlg::OnInitDialog() {
  CTrayDialog::OnInitDialog();
  SetIcon(IDI_PROGRAM);

  const int x = (ClientWidth() - 640) / 2;
  MoveControl(IDC_VIDEO, x, 4, 640, 476);
  m_videoHost = std::make_unique<CVideoHostAdapter>(this);
  GetCameraWndMgr().InitWnd(m_videoHost.get());

  const Rect alarm = ControlRect(IDC_ALARM_BUTTON);
  const Rect sound = ControlRect(IDC_SOUND_BUTTON);
  MoveControl(IDC_ALARM_BUTTON, x + 8, 488, alarm.Width(), alarm.Height());
  MoveControl(IDC_SOUND_BUTTON, x + 550, 488, sound.Width(), sound.Height());

  SetWindowTitle(std::string(kMainTitle) + "(" + ProgramVersionText() + ")");
  m_logoutRequested = 0;
  AddTrayIcon("VantorHomeCamera");
  // Adding the icon hid the window; it is shown again as the dialog opens.
  ShowWindow(SW_SHOWNORMAL);
  SetControlText(IDC_LINK, kStrLink);
  g_statusTarget = this;
  SetMainWindowPoster(&PostToMainWindow);
  RefreshStatus();
  SetClickMessage(IDC_ALARM_BUTTON, WM_STATUS_BUTTON);
  SetClickMessage(IDC_SOUND_BUTTON, WM_STATUS_BUTTON);
  SetTimer(TIMER_CAPTURE_WATCHDOG, kWatchdogPeriodMs);
  return true;
}

void CCameraMainDlg::RefreshStatus() {
  CCameraInfo* info = GetCameraInfoMgr().GetCameraInfo(0);
  const bool armed = info && info->GetAlarmStatus() != 0;
  const bool sound = info && info->GetAudioEnable() != 0;
  SetControlText(IDC_ALARM_BUTTON, armed ? kStrArmed : kStrDisarmed);
  SetButtonLook(IDC_ALARM_BUTTON, armed ? kRed : kBlack, kButtonFace, armed ? IDI_ARMED : IDI_DISARMED);
  SetControlText(IDC_SOUND_BUTTON, sound ? kStrSoundOn : kStrSoundOff);
  SetButtonLook(IDC_SOUND_BUTTON, kBlack, kButtonFace, sound ? IDI_SOUND_ON : IDI_SOUND_OFF);
}

bool CCameraMainDlg::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  switch (message) {
    case WM_CAMERA_ALARM:
      OnCameraAlarm(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
      return true;
    case WM_APP_QUIT:
      GetCameraWndMgr().Stop();
      EndDialog(IDCANCEL);
      return true;
    case WM_STATUS_BUTTON:
      OnStatusButton(wParam);
      return true;
    case WM_NEW_VERSION:
      OnNewVersion(reinterpret_cast<const char*>(wParam));
      return true;
    case WM_REFRESH_STATUS:
      RefreshStatus();
      return true;
    case WM_ALARM_UPLOADED:
      LogUploadResult(static_cast<int>(wParam), static_cast<uint32_t>(lParam));
      return true;
    default:
      return CTrayDialog::WindowProc(message, wParam, lParam);
  }
}

void CCameraMainDlg::OnCameraAlarm(uint32_t tick, uint32_t channel) {
  Log("MD Triggered, PrepareUploadFile, channel=%u, tick=%u", channel, tick);
  if (GetCameraWndMgr().PrepareUploadFile(tick, static_cast<int>(channel))) {
    SetTimer(TIMER_ALARM_UPLOAD_BASE + channel, AlarmUploadDelay(tick, platform::GetTickCount()));
  } else {
    Log("PrepareUploadFile failed! channel=%u, tick=%u", channel, tick);
  }
}

void CCameraMainDlg::LogUploadResult(int result, uint32_t channel) {
  Log("UploadAlarmAVData ret=%d, channel=%u, tick=%u", result, channel, platform::GetTickCount());
}

void CCameraMainDlg::OnStatusButton(uintptr_t control) {
  CCameraInfo* info = GetCameraInfoMgr().GetCameraInfo(0);
  if (!info) return;
  if (control == static_cast<uintptr_t>(IDC_ALARM_BUTTON)) info->SetAlarmStatus(-1);
  else if (control == static_cast<uintptr_t>(IDC_SOUND_BUTTON)) info->SetAudioEnable(-1);
}

void CCameraMainDlg::OnNewVersion(const char* text) {
  std::string message = kStrNewVersion;
  if (text) message += std::string("\r\n") + text;
  MessageBox(this, message);
}

void CCameraMainDlg::OnCommand(uint32_t id) {
  switch (id) {
    case ID_MENU_SHOW:
      ShowWindow(SW_SHOWNORMAL);
      break;
    case ID_MENU_QUIT:
      PostMessage(WM_APP_QUIT, 0, 0);
      break;
    case IDC_STATUS:
      if (CCameraWnd* channel0 = GetCameraWndMgr().GetChannel(0)) channel0->SaveRecentClip();
      break;
    case ID_MENU_LOGOUT:
      m_logoutRequested = 1;
      PostMessage(WM_APP_QUIT, 0, 0);
      break;
    case IDOK:
      // Only WM_APP_QUIT ends this window: it stops the cameras that paint into its views.
      break;
    default:
      CTrayDialog::OnCommand(id);
  }
}

void CCameraMainDlg::OnTimer(uint32_t id) {
  if (id >= TIMER_ALARM_UPLOAD_BASE && id < TIMER_ALARM_UPLOAD_BASE + 10) {
    const uint32_t channel = id - TIMER_ALARM_UPLOAD_BASE;
    const int handedOver = GetCameraWndMgr().UploadAlarmAVData(static_cast<int>(channel));
    KillTimer(id);
    // A clip handed to the channel's upload worker reports back with WM_ALARM_UPLOADED.
    if (!handedOver) LogUploadResult(0, channel);
  } else if (id == TIMER_CAPTURE_WATCHDOG) {
    CaptureWatchdog();
  }
}

void CCameraMainDlg::CaptureWatchdog() {
  CCameraWnd* channel0 = GetCameraWndMgr().GetChannel(0);
  if (!channel0) return;
  uint32_t& last = LastCheckpointFrames();
  const uint32_t now = GetCaptureStats().VideoFrames();
  if (now != last) {
    Log("Video capture checkpoint. last capture=%d; now capture=%d. converted=%u", static_cast<int>(last),
        static_cast<int>(now), channel0->ConvertedBytes());
    last = now;
  } else {
    Log("Restart Device. Long time no video frame captured. last time=%d. converted=%u", static_cast<int>(last),
        channel0->ConvertedBytes());
    channel0->RestartCapture();
  }
}

// Close and Esc hide the window into the tray. Without a tray icon a hidden window could
// not be found again, so it is minimised instead.
void CCameraMainDlg::OnCancel() { ShowWindow(TrayIconAdded() ? SW_HIDE : SW_SHOWMINNOACTIVE); }
void CCameraMainDlg::OnClose() { OnCancel(); }

void CCameraMainDlg::OnDestroy() {
  RemoveTrayIcon();
  KillTimer(TIMER_CAPTURE_WATCHDOG);
}

int CCameraMainDlg::OnTrayShow(int) {
  ShowWindow(SW_SHOWNORMAL);
  SetFocus();
  return 1;
}

int CCameraMainDlg::OnTrayMenu(int) {
  ShowTrayMenu(IDR_TASKBAR_MENU);
  return 1;
}
