#include "crash/watchdog/ErrorBox.h"

#include <cstdio>
#include <cstdlib>

#include "framework/Application.h"
#include "framework/Dialog.h"
#include "framework/Messages.h"

namespace sentrel {
namespace {

int g_argc = 1;
char g_arg0[] = "Sentrel";
char* g_argv[] = {g_arg0, nullptr};

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Started on the first box only: most runs end without one.
bool OpenScreen() {
  static const bool hasScreen = [] {
    if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) return false;
    // A display that cannot be reached falls back to the offscreen platform instead of
    // ending the process; a platform chosen by the user is kept.
    if (!IsSet("QT_QPA_PLATFORM")) {
      setenv("QT_QPA_PLATFORM", IsSet("WAYLAND_DISPLAY") ? "wayland;xcb;offscreen" : "xcb;offscreen", 1);
    }
    framework::InitApplication(&g_argc, g_argv);
    return framework::HasScreen();
  }();
  return hasScreen;
}

}  // namespace

BoxAnswer ShowErrorBox(const std::string& text, const std::string& caption, bool yesNo) {
  if (!OpenScreen()) {
    printf("MessageBox (no screen to show it): [%s]\n%s\n", caption.c_str(), text.c_str());
    return yesNo ? BoxAnswer::No : BoxAnswer::Ok;
  }
  const unsigned type = MB_ICONERROR | (yesNo ? MB_YESNO : MB_OK);
  const int answer = MessageBox(nullptr, text, caption, type);
  if (!yesNo) return BoxAnswer::Ok;
  return answer == IDYES ? BoxAnswer::Yes : BoxAnswer::No;
}

void CloseErrorBoxes() {
  if (framework::HasApplication()) framework::ShutdownApplication();
}

}  // namespace sentrel
