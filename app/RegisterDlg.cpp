#include "app/RegisterDlg.h"

#include "app/AccountChecks.h"
#include "app/Resources.h"
#include "app/StringTable.h"
#include "framework/Messages.h"
#include "remote/HttpRequestMgr.h"
#include "remote/WebCamServiceHttpRequestSocket.h"

namespace {

constexpr int kFieldCount = 5;
constexpr int kRowTop = 14;
constexpr int kRowStep = 24;

}  // namespace

CRegisterDlg::CRegisterDlg() : CDialog(IDD_REGISTER, kRegisterTitle, 290, 190) {
  const char* labels[kFieldCount] = {"用户名:", "登录密码:", "密码确认:", "手机号码:", "摄像机名称:"};
  const char* hints[kFieldCount] = {"登陆用户名。", "登陆密码。", "重复登陆密码。", "你的接警手机号码。",
                                    "给摄像机取一个好记的名字。"};
  for (int k = 0; k < kFieldCount; ++k) {
    const int top = kRowTop + k * kRowStep;
    const bool secret = k == 1 || k == 2;
    AddControl(-1, ControlKind::Static, labels[k], Rect{10, top + 2, 58, top + 12});
    AddControl(IDC_REG_USER + k, secret ? ControlKind::PasswordEdit : ControlKind::Edit, "",
               Rect{60, top, 150, top + 12});
    AddControl(IDC_REG_HINT_FIRST + k, ControlKind::Static, hints[k], Rect{168, top + 2, 285, top + 12});
  }
  AddControl(IDOK, ControlKind::Button, "创建", Rect{70, 150, 130, 166});
  AddControl(IDCANCEL, ControlKind::Button, "取消", Rect{160, 150, 220, 166});
}

CRegisterDlg::~CRegisterDlg() { GetHttpRequestMgr().ForgetWindow(this); }

bool CRegisterDlg::OnInitDialog() {
  SetIcon(IDI_PROGRAM);
  CHttpRequestMgr& mgr = GetHttpRequestMgr();
  m_previousActive = mgr.GetActiveWindow();
  mgr.SetActiveWindow(this);
  m_validMask = 0;
  for (int k = 0; k < kFieldCount; ++k) SetHint(IDC_REG_HINT_FIRST + k, HintState::Redraw, nullptr);
  return true;
}

void CRegisterDlg::OnDestroy() { GetHttpRequestMgr().SetActiveWindow(m_previousActive); }

void CRegisterDlg::SetHint(int hintId, HintState state, const char* text) {
  if (text) SetControlText(hintId, text);
  const uint32_t bit = 1u << (hintId - IDC_REG_HINT_FIRST);
  if (state == HintState::Valid) m_validMask |= bit;
  else if (state == HintState::Invalid) m_validMask &= ~bit;
  const Rect label = ControlRect(hintId);
  DrawBitmap(hintId, (m_validMask & bit) ? IDB_HINT_VALID : IDB_HINT_INVALID, label.left - 4 - 16,
             label.top + (label.Height() - 16) / 2);
}

void CRegisterDlg::CheckField(int id) {
  const int hint = IDC_REG_HINT_FIRST + (id - IDC_REG_USER);
  FieldCheck check{false, ""};
  switch (id) {
    case IDC_REG_USER:
      check = CheckRegisterUserName(ControlText(id));
      if (check.valid) {
        // Free or taken: the hint follows the service's answer.
        GetHttpRequestMgr().CheckUserName(ControlText(id).c_str());
        return;
      }
      break;
    case IDC_REG_PASSWORD: check = CheckRegisterPassword(ControlText(id)); break;
    case IDC_REG_PASSWORD_AGAIN:
      check = CheckPasswordAgain(ControlText(IDC_REG_PASSWORD), ControlText(id));
      break;
    case IDC_REG_MOBILE: check = CheckMobileNumber(ControlText(id)); break;
    case IDC_REG_CAMERA_NAME: check = CheckCameraName(ControlText(id)); break;
    default: return;
  }
  SetHint(hint, check.valid ? HintState::Valid : HintState::Invalid, check.hint.c_str());
}

void CRegisterDlg::OnKillFocus(int id) { CheckField(id); }

void CRegisterDlg::OnCreate() {
  FocusControl(IDOK);
  if (m_validMask == 31) {
    EnableControl(IDOK, false);
    GetHttpRequestMgr().CreateUser(ControlText(IDC_REG_USER).c_str(), ControlText(IDC_REG_PASSWORD).c_str(),
                                   ControlText(IDC_REG_MOBILE).c_str(), ControlText(IDC_REG_CAMERA_NAME).c_str());
    return;
  }
  for (int k = 0; k < kFieldCount; ++k) {
    if ((m_validMask & (1u << k)) == 0) {
      FocusControl(IDC_REG_USER + k);
      return;
    }
  }
}

bool CRegisterDlg::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  const int code = static_cast<int>(wParam);
  const int stringId = static_cast<int>(lParam);
  switch (message) {
    case WM_CHECK_USER_NAME_RESULT:
      if (code == kWebResultNextStep) SetHint(IDC_REG_HINT_FIRST, HintState::Valid, "");
      else SetHint(IDC_REG_HINT_FIRST, HintState::Invalid, LoadStringText(stringId));
      return true;
    case WM_CREATE_USER_RESULT:
      if (code == kWebResultOk) {
        m_createdUser = ControlText(IDC_REG_USER);
        m_createdPassword = ControlText(IDC_REG_PASSWORD);
        MessageBox(this, LoadStringText(107));
        EndDialog(IDOK);
      } else {
        MessageBox(this, LoadStringText(stringId), LoadStringText(108));
        EnableControl(IDOK, true);
      }
      return true;
    default:
      return CDialog::WindowProc(message, wParam, lParam);
  }
}

void CRegisterDlg::OnCommand(uint32_t id) {
  if (id == IDOK) OnCreate();
  else CDialog::OnCommand(id);
}
