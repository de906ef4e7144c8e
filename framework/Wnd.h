#pragma once
// A window that receives posted messages, without any toolkit in sight. Messages posted
// from any thread are delivered in order on the user-interface thread.
#include <cstdint>

class CWnd {
 public:
  virtual ~CWnd() = default;
  // Safe to call from any thread. false when the window no longer exists.
  virtual bool PostMessage(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0) = 0;
  virtual bool IsWindowEnabled() const = 0;
};

// The program's main window: whichever dialog start-up is showing, or null. Read from any
// thread; set only by the start-up thread.
CWnd* GetMainWnd();
void SetMainWnd(CWnd* wnd);
