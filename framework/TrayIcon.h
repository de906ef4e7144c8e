#pragma once
// The notification-area icon of a dialog. Clicks arrive at the owner as WM_TRAY_CALLBACK
// (icon id, WM_LBUTTONDOWN or WM_RBUTTONDOWN). Without a notification area Add fails and
// nothing is shown.
#include <memory>
#include <string>

class CDialog;
class TrayIconImpl;

class CTrayIcon {
 public:
  CTrayIcon();
  ~CTrayIcon();
  bool Add(CDialog* owner, int iconId, int iconResource, const std::string& tip);
  void Remove();
  // true while the icon is added and a notification area is there to show it.
  bool IsAdded() const;
  std::string Tip() const;

 private:
  std::unique_ptr<TrayIconImpl> m_impl;
};
