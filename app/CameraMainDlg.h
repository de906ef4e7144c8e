#pragma once
// CCameraMainDlg: the main window. Hosts the channels' video, the arming and sound status
// buttons and the link label, and is the hub of the alarm pipeline: alarms posted by the
// capture threads arrive here, a one-shot timer per channel uploads the clip once five
// seconds of video after the alarm exist, and a 10-second watchdog restarts a stalled
// capture. User-interface thread only (other threads post).
#include <cstdint>
#include <memory>

#include "app/TrayDialog.h"

class CVideoHostAdapter;

class CCameraMainDlg : public CTrayDialog {
 public:
  static constexpr uint32_t TIMER_CAPTURE_WATCHDOG = 2000;
  static constexpr uint32_t TIMER_ALARM_UPLOAD_BASE = 1234;
  static constexpr uint32_t kWatchdogPeriodMs = 10000;

  CCameraMainDlg();
  ~CCameraMainDlg() override;

  bool OnInitDialog() override;
  bool WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void OnCommand(uint32_t id) override;
  void OnTimer(uint32_t id) override;
  void OnCancel() override;
  void OnClose() override;
  void OnDestroy() override;
  int OnTrayShow(int iconId) override;
  int OnTrayMenu(int iconId) override;

  void RefreshStatus();
  int LogoutRequested() const { return m_logoutRequested; }

  // Delay of the upload timer for an alarm at alarmTick handled at now: the time until
  // five seconds of video after the alarm exist, 0 when that is already the case.
  static uint32_t AlarmUploadDelay(uint32_t alarmTick, uint32_t now);

  // The frame count seen at the last watchdog checkpoint (process-wide).
  static uint32_t& LastCheckpointFrames();

 private:
  void OnCameraAlarm(uint32_t tick, uint32_t channel);
  void LogUploadResult(int result, uint32_t channel);
  void OnStatusButton(uintptr_t control);
  void OnNewVersion(const char* text);
  void CaptureWatchdog();

  std::unique_ptr<CVideoHostAdapter> m_videoHost;
  int m_logoutRequested = 0;
};

// The version of the program file as "1.0.0.1".
std::string ProgramVersionText();
