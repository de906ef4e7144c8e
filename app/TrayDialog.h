#pragma once
// CTrayDialog: a dialog with an icon in the notification area. A left click on the icon
// asks the subclass to show the window (OnTrayShow), a right click asks for the menu
// (OnTrayMenu). User-interface thread only.
#include <cstdint>
#include <string>

#include "framework/Dialog.h"
#include "framework/TrayIcon.h"

class CTrayDialog : public CDialog {
 public:
  static constexpr int kIconId = 128;
  static constexpr uint32_t kNotifyFlags = 7;  // message, icon, tip

  using CDialog::CDialog;

  bool OnInitDialog() override;
  bool WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

  virtual int OnTrayShow(int iconId);
  virtual int OnTrayMenu(int iconId);

  // Adds the icon (tip cut to 63 characters; null keeps the last tip) and hides the
  // window; without a notification area the window stays as it is. Returns whether the
  // icon was added.
  bool AddTrayIcon(const char* tip);
  void RemoveTrayIcon();
  void ShowTrayMenu(int menuId);
  // The tray callback: icon id, mouse message. Returns 0.
  int OnTrayNotification(uintptr_t iconId, intptr_t mouseMessage);

  const std::string& TrayTip() const { return m_tip; }
  bool TrayIconAdded() const { return m_trayIcon.IsAdded(); }

 private:
  CTrayIcon m_trayIcon;
  std::string m_tip;
};
