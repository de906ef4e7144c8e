#include "app/LoginDlg.h"

#include <string>

#include "app/AccountChecks.h"
#include "app/CameraMainDlg.h"
#include "app/RegisterDlg.h"
#include "app/RegistrySettings.h"
#include "app/Resources.h"
#include "app/StringTable.h"
#include "framework/Messages.h"
#include "infra/Logger.h"
#include "platform/NamedEvent.h"
#include "remote/HttpRequestMgr.h"
#include "remote/WebCamServiceHttpRequestSocket.h"

CLoginDlg::CLoginDlg() : CDialog(IDD_LOGIN, kLoginTitle, 139, 182) {
  AddControl(-1, ControlKind::Static, "用户名:", Rect{12, 14, 44, 24});
  AddControl(IDC_LOGIN_USER, ControlKind::Edit, "", Rect{46, 12, 128, 24});
  AddControl(-1, ControlKind::Static, "密码:", Rect{12, 34, 44, 44});
  AddControl(IDC_LOGIN_PASSWORD, ControlKind::PasswordEdit, "", Rect{46, 32, 128, 44});
  AddControl(IDC_REMEMBER, ControlKind::CheckBox, "记住密码", Rect{20, 54, 72, 64});
  AddControl(IDC_AUTO_LOGIN, ControlKind::CheckBox, "自动登陆", Rect{76, 54, 128, 64});
  AddControl(IDOK, ControlKind::Button, "登陆", Rect{20, 74, 120, 90});
  AddControl(IDC_REGISTER_BUTTON, ControlKind::Button, "注册新用户", Rect{20, 96, 120, 112});
  AddControl(IDCANCEL, ControlKind::Button, "退出", Rect{20, 118, 120, 134});
  AddControl(IDC_LOGIN_UNUSED, ControlKind::Edit, "", Rect{20, 140, 40, 150}, false);
  AddControl(IDC_REGISTER_LINK, ControlKind::OwnerDrawButton, "注册", Rect{12, 158, 42, 170});
  AddControl(IDC_HELP_LINK, ControlKind::LinkLabel, "帮助", Rect{54, 160, 78, 170});
  AddControl(IDC_FEEDBACK_LINK, ControlKind::LinkLabel, "意见反馈", Rect{88, 160, 128, 170});
}

CLoginDlg::~CLoginDlg() { GetHttpRequestMgr().ForgetWindow(this); }

bool CLoginDlg::OnInitDialog() {
  SetIcon(IDI_PROGRAM);
  CHttpRequestMgr& mgr = GetHttpRequestMgr();
  m_previousActive = mgr.GetActiveWindow();
  mgr.SetActiveWindow(this);

  int autoLogin = 0, remember = 0;
  const char* digest = "";
  const char* userName = "";
  GetLoginSettings(&autoLogin, &remember, &digest, &userName);
  SetCheck(IDC_AUTO_LOGIN, autoLogin != 0);
  SetCheck(IDC_REMEMBER, remember != 0);
  SetControlText(IDC_LOGIN_USER, userName);
  SetControlText(IDC_LOGIN_PASSWORD, digest);
  if (m_afterLogout == 0 && autoLogin != 0) PostMessage(WM_COMMAND, IDOK, 0);

  SetWindowTitle(std::string(kLoginTitle) + "(" + ProgramVersionText() + ")");
  SetLinkAddress(IDC_HELP_LINK, kHelpAddress);
  SetLinkAddress(IDC_FEEDBACK_LINK, kFeedbackAddress);
  SetClickMessage(IDC_REGISTER_LINK, WM_REGISTER_LINK);
  if (m_stopEvent) SetTimer(TIMER_STOP_WATCH, kStopWatchPeriodMs);
  return true;
}

void CLoginDlg::OnDestroy() {
  KillTimer(TIMER_STOP_WATCH);
  GetHttpRequestMgr().SetActiveWindow(m_previousActive);
}

void CLoginDlg::OnTimer(uint32_t id) {
  // Before the first login no server thread waits on the stop event: the dialog does.
  // Whoever takes the event sets it again on the way out, so nothing is lost.
  if (id == TIMER_STOP_WATCH && m_stopEvent && m_stopEvent->Wait(0)) {
    m_stopEvent->Set();
    EndDialog(IDCANCEL);
  }
}

void CLoginDlg::OnOK() {
  const std::string user = ControlText(IDC_LOGIN_USER);
  const std::string password = ControlText(IDC_LOGIN_PASSWORD);
  if (const int field = LoginFieldToFix(user, password); field != 0) {
    FocusControl(field);
    return;
  }
  GetHttpRequestMgr().Login(user.c_str(), password.c_str(), "chap");
  EnableControl(IDOK, false);
  SaveLoginSettings(IsChecked(IDC_AUTO_LOGIN) ? 1 : 0, IsChecked(IDC_REMEMBER) ? 1 : 0, user.c_str(),
                    password.c_str());
}

void CLoginDlg::OnServiceResult(uint32_t message, int code, int stringId) {
  if (code == kWebResultOk) {
    Log(message == WM_LOGIN_RESULT ? "Login OK!" : "Add Device OK!");
    EndDialog(IDOK);
    return;
  }
  if (message == WM_LOGIN_RESULT && code == kWebResultNextStep) {
    const std::string user = ControlText(IDC_LOGIN_USER);
    const std::string password = ControlText(IDC_LOGIN_PASSWORD);
    GetHttpRequestMgr().AddDevice(user.c_str(), password.c_str(), "chap");
    return;
  }
  MessageBox(this, LoadStringText(stringId));
  FocusControl(IDC_LOGIN_USER);
  EnableControl(IDOK, true);
}

void CLoginDlg::RunRegistration() {
  CRegisterDlg dialog;
  if (dialog.DoModal() != IDOK) return;
  SetControlText(IDC_LOGIN_USER, dialog.CreatedUserName());
  SetControlText(IDC_LOGIN_PASSWORD, dialog.CreatedPassword());
  FocusControl(IDOK);
}

bool CLoginDlg::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  switch (message) {
    case WM_LOGIN_RESULT:
    case WM_ADD_DEVICE_RESULT:
      OnServiceResult(message, static_cast<int>(wParam), static_cast<int>(lParam));
      return true;
    case WM_REGISTER_LINK:
      RunRegistration();
      return true;
    case WM_NEW_VERSION: {
      std::string text = LoadStringText(113);
      if (const char* extra = reinterpret_cast<const char*>(wParam)) text += std::string("\r\n") + extra;
      MessageBox(this, text);
      return true;
    }
    case WM_APP_QUIT:
      EndDialog(IDCANCEL);
      return true;
    default:
      return CDialog::WindowProc(message, wParam, lParam);
  }
}

void CLoginDlg::OnCommand(uint32_t id) {
  switch (id) {
    case IDOK:
      OnOK();
      break;
    case IDC_REGISTER_BUTTON:
      RunRegistration();
      break;
    case IDC_AUTO_LOGIN:
      if (IsChecked(IDC_AUTO_LOGIN)) SetCheck(IDC_REMEMBER, true);
      break;
    case IDC_REMEMBER:
      if (!IsChecked(IDC_REMEMBER)) SetCheck(IDC_AUTO_LOGIN, false);
      break;
    default:
      CDialog::OnCommand(id);
  }
}
