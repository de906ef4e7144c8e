#include "app/TrayDialog.h"

#include "app/Resources.h"
#include "framework/Messages.h"

bool CTrayDialog::OnInitDialog() { return CDialog::OnInitDialog(); }

bool CTrayDialog::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message == WM_TRAY_CALLBACK) {
    OnTrayNotification(wParam, lParam);
    return true;
  }
  return CDialog::WindowProc(message, wParam, lParam);
}

int CTrayDialog::OnTrayShow(int) { return 0; }
int CTrayDialog::OnTrayMenu(int) { return 0; }

bool CTrayDialog::AddTrayIcon(const char* tip) {
  if (tip) m_tip = std::string(tip).substr(0, 63);
  const bool added = m_trayIcon.Add(this, kIconId, IDI_PROGRAM, m_tip);
  // Without a notification area a hidden window could never be found again.
  if (added) ShowWindow(SW_HIDE);
  return added;
}

void CTrayDialog::RemoveTrayIcon() { m_trayIcon.Remove(); }

void CTrayDialog::ShowTrayMenu(int menuId) {
  if (menuId != IDR_TASKBAR_MENU) return;
  const MenuItem items[] = {{ID_MENU_SHOW, kStrMenuShow}, {ID_MENU_LOGOUT, kStrMenuLogout}, {ID_MENU_QUIT, kStrMenuQuit}};
  TrackPopupMenu(this, items, 3);
}

int CTrayDialog::OnTrayNotification(uintptr_t iconId, intptr_t mouseMessage) {
  if (iconId != static_cast<uintptr_t>(kIconId)) return 0;
  if (mouseMessage == WM_LBUTTONDOWN) {
    if (OnTrayShow(kIconId) == 0) {
      ShowWindow(SW_SHOWNORMAL);
      SetFocus();
      RemoveTrayIcon();
    }
  } else if (mouseMessage == WM_RBUTTONDOWN) {
    OnTrayMenu(kIconId);
  }
  return 0;
}
