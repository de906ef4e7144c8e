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

// The program's main window as other threads see it: null while start-up shows none, else
// a stand-in that lives as long as the process and forwards to whichever window is set at
// the moment of the call. A thread that still holds it after the window went gets false
// from PostMessage, and the message is dropped.
CWnd* GetMainWnd();
// Start-up thread only. Once it returns, no other thread is inside a call on the window
// it replaced, so that window may be destroyed.
void SetMainWnd(CWnd* wnd);
// Clears the main window if it is wnd; windows call it as they are destroyed.
void ForgetMainWnd(CWnd* wnd);
