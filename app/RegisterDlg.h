#pragma once
// CRegisterDlg: registers a new user together with this camera. Each field is checked when
// it loses the focus and shows a hint with a valid/invalid bitmap; "创建" sends the user
// to the web service once all five fields are valid. User-interface thread only.
#include <cstdint>
#include <string>

#include "framework/Dialog.h"

class CRegisterDlg : public CDialog {
 public:
  enum class HintState { Valid, Invalid, Redraw };

  CRegisterDlg();
  ~CRegisterDlg() override;

  bool OnInitDialog() override;
  bool WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void OnCommand(uint32_t id) override;
  void OnKillFocus(int id) override;
  void OnDestroy() override;

  // Runs the check of one field (1003 to 1007), as when it loses the focus.
  void CheckField(int id);
  uint32_t ValidMask() const { return m_validMask; }
  const std::string& CreatedUserName() const { return m_createdUser; }
  const std::string& CreatedPassword() const { return m_createdPassword; }

 private:
  void SetHint(int hintId, HintState state, const char* text);
  void OnCreate();

  uint32_t m_validMask = 0;
  std::string m_createdUser;
  std::string m_createdPassword;
  CWnd* m_previousActive = nullptr;
};
