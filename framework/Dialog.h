#pragma once
// Modal dialogs with numbered controls, posted messages and timers by id, without any
// toolkit in sight. The Qt implementation lives in DialogQt.cpp; only framework/ and app/
// see it.
//
// Threads: everything runs on the user-interface thread except PostMessage (and the video
// views' ShowImage), which any thread may call. Posted messages are delivered in order to
// WindowProc on the user-interface thread.
#include <cstdint>
#include <memory>
#include <string>

#include "framework/Messages.h"
#include "framework/Wnd.h"

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

enum class ControlKind { Button, Static, Edit, OwnerDrawButton, LinkLabel, VideoArea, CheckBox, PasswordEdit };

// Dialog units to pixels, for the 9-point dialog font: 6 by 12 pixel base units.
constexpr int DluToPixelsX(int dlu) { return dlu * 6 / 4; }
constexpr int DluToPixelsY(int dlu) { return dlu * 12 / 8; }

class CVideoView;
class DialogImpl;

class CDialog : public CWnd {
 public:
  CDialog(int templateId, const std::string& title, int widthDlu, int heightDlu);
  ~CDialog() override;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Shows the dialog and runs until EndDialog; returns the result given to EndDialog.
  int DoModal();
  void EndDialog(int result);
  bool IsModalRunning() const;

  bool PostMessage(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0) override;
  bool IsWindowEnabled() const override;

  // Controls, placed in dialog units as a template places them.
  void AddControl(int id, ControlKind kind, const std::string& text, Rect dlu, bool visible = true);
  bool HasControl(int id) const;
  void MoveControl(int id, int x, int y, int width, int height);  // pixels
  Rect ControlRect(int id) const;                                  // pixels, client coordinates
  void SetControlText(int id, const std::string& text);
  std::string ControlText(int id) const;
  bool IsControlVisible(int id) const;
  // Owner-drawn buttons: text colour, background colour (0x00RRGGBB) and icon resource.
  void SetButtonLook(int id, uint32_t textRgb, uint32_t backgroundRgb, int iconResource);
  uint32_t ButtonTextColour(int id) const;
  int ButtonIcon(int id) const;
  // A click on an owner-drawn button sends this message with the control id as wParam.
  void SetClickMessage(int id, uint32_t message);
  // Check boxes; a click arrives as OnCommand(id) after the box changed.
  // A link label's address; its text stays what it shows.
  void SetLinkAddress(int id, const std::string& url);
  void SetCheck(int id, bool checked);
  bool IsChecked(int id) const;
  void EnableControl(int id, bool enable);
  bool IsControlEnabled(int id) const;
  // Gives a control the keyboard focus; FocusedControl is the control that had it last
  // (given here or by the user), 0 before any.
  void FocusControl(int id);
  int FocusedControl() const;
  // Draws a bitmap resource with its top-left corner at (x, y) in pixels, the colour
  // RGB(222, 21, 222) transparent. A later drawing in the same slot replaces it.
  void DrawBitmap(int slot, int resource, int x, int y);
  int DrawnBitmap(int slot) const;  // the resource drawn in the slot, 0 for none
  // The video area hosts image views that capture threads paint.
  CVideoView* CreateVideoView(int areaId, Rect pixels, int viewId);

  void SetWindowTitle(const std::string& title);
  std::string WindowTitle() const;
  void SetIcon(int resource);
  enum ShowCommand { SW_HIDE = 0, SW_SHOWNORMAL = 1, SW_SHOWMINNOACTIVE = 7, SW_SHOW = 5 };
  void ShowWindow(int command);
  bool IsWindowVisible() const;
  bool IsIconic() const;  // minimised
  void SetFocus();
  // Renders the window into a PNG file (works off screen too).
  bool SaveScreenshot(const std::string& path) const;
  int ClientWidth() const;
  int ClientHeight() const;

  bool SetTimer(uint32_t id, uint32_t elapseMs);
  bool KillTimer(uint32_t id);
  // The period of a running timer, or -1 (lets tests see what was scheduled).
  int64_t TimerPeriod(uint32_t id) const;

  // Called by the implementation; subclasses override.
  virtual bool OnInitDialog() { return true; }
  // true when the message was handled.
  virtual bool WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam);
  virtual void OnCommand(uint32_t id);
  virtual void OnTimer(uint32_t id);
  virtual void OnCancel();  // Esc
  virtual void OnClose();   // the close box
  virtual void OnDestroy() {}
  virtual void OnControlClicked(int id);
  // An edit control lost the keyboard focus.
  virtual void OnKillFocus(int /*id*/) {}

  DialogImpl* Impl() const { return m_impl.get(); }
  int TemplateId() const { return m_templateId; }

 private:
  int m_templateId;
  std::unique_ptr<DialogImpl> m_impl;
};

// Message box owned by a dialog (or none). Without a screen to answer it (the offscreen
// platform) the text is logged and the default answer returned at once (IDOK, or IDNO for
// MB_YESNO), so a headless run never blocks. type: MB_OK or MB_YESNO, | MB_ICONERROR.
int MessageBox(CDialog* owner, const std::string& text, const std::string& caption = "", unsigned type = MB_OK);

// The pop-up menu of the tray: items (command id, text) shown at the cursor; the chosen
// command arrives at the owner as WM_COMMAND.
struct MenuItem {
  uint32_t command;
  std::string text;
};
void TrackPopupMenu(CDialog* owner, const MenuItem* items, int count);
