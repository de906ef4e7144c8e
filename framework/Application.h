#pragma once
// The toolkit's application object. Created once on the start-up thread before any dialog;
// a machine without a display (no DISPLAY or WAYLAND_DISPLAY) gets the offscreen platform.
namespace framework {

void InitApplication(int* argc, char** argv);
// Destroys the application object; call before main returns, while Qt is still whole.
void ShutdownApplication();
bool HasApplication();
// Delivers pending events for up to ms milliseconds (tests and start-up waits).
void ProcessEvents(int ms);
// true when a real screen is there to show windows and answer message boxes.
bool HasScreen();
// true when the desktop offers a notification area.
bool HasTray();

}  // namespace framework
