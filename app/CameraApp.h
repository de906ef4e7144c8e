#pragma once
// The whole life of VantorHomeCamera: process setup, the single-instance rule, logging,
// the dialog loop and the shutdown steps. Runs on the start-up thread, which is also the
// user-interface thread.
#include <string>

class CCameraApp {
 public:
  // The whole run; always 0. commandLine holds the arguments without the program name.
  int RunApplication(const std::string& commandLine);
  // One login-then-main-window cycle; non-zero when the user logged out.
  int RunLoginCycle(int previousResult);

  // "-stop" anywhere from one character before the first "-" to the end.
  static bool HasStopSwitch(const std::string& commandLine);
};

// Posts WM_APP_QUIT to an enabled main window, then sets the stop event. Any thread.
void NotifyShutdown();
// The converter's placeholder inputs "seed.yuv" and "seed.s16le", empty.
void CreateSeedFiles();
void DeleteSeedFiles();
