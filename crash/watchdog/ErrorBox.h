#pragma once
// The watchdog's message boxes, shown through the toolkit when a screen can be opened.
// Off screen (no DISPLAY or WAYLAND_DISPLAY, or none the toolkit can open) the box is
// printed and answered with its default at once (OK, or No for a question), so an
// unattended watchdog never waits for a click. Called on the watchdog's only thread.
#include <string>

namespace sentrel {

enum class BoxAnswer { Ok, Yes, No };

// An error box with OK, or with Yes and No when yesNo is set.
BoxAnswer ShowErrorBox(const std::string& text, const std::string& caption, bool yesNo);

// Ends the toolkit if a box started it; call before the watchdog returns from main.
void CloseErrorBoxes();

}  // namespace sentrel
