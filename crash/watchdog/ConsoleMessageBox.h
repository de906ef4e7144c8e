#pragma once
// The watchdog's message boxes. It is a console program without the toolkit: a box is
// printed and answered with its default (OK, or No for a question), as the framework
// answers boxes when there is no screen.
#include <string>

namespace sentrel {

enum class BoxAnswer { Ok, Yes, No };

BoxAnswer ShowErrorBox(const std::string& text, const std::string& caption, bool yesNo);

}  // namespace sentrel
