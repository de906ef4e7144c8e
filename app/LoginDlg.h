#pragma once
// CLoginDlg: the account gate before the main window. Collects user name and password,
// asks the web service (login, then addDevice for an account that lacks this camera) and
// ends with OK once the service said yes, or with cancel when the user quits. User-
// interface thread only; the service's answers arrive as posted messages.
#include <cstdint>

#include "framework/Dialog.h"

namespace platform {
class CNamedEvent;
}

class CLoginDlg : public CDialog {
 public:
  static constexpr uint32_t TIMER_STOP_WATCH = 1;
  static constexpr uint32_t kStopWatchPeriodMs = 200;

  CLoginDlg();
  ~CLoginDlg() override;

  // Non-zero after a log-out: the dialog then never logs in by itself.
  void SetAfterLogout(int afterLogout) { m_afterLogout = afterLogout; }
  // The program's stop event: while the dialog is up a stop ("-stop", Ctrl-C) ends it with
  // cancel. Null (tests) watches nothing.
  void SetStopEvent(platform::CNamedEvent* stopEvent) { m_stopEvent = stopEvent; }

  bool OnInitDialog() override;
  bool WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void OnCommand(uint32_t id) override;
  void OnTimer(uint32_t id) override;
  void OnDestroy() override;

 private:
  void OnOK();
  void OnServiceResult(uint32_t message, int code, int stringId);
  void RunRegistration();

  int m_afterLogout = 0;
  platform::CNamedEvent* m_stopEvent = nullptr;
  CWnd* m_previousActive = nullptr;
};
