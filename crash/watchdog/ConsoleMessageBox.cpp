#include "crash/watchdog/ConsoleMessageBox.h"

#include <cstdio>

namespace sentrel {

BoxAnswer ShowErrorBox(const std::string& text, const std::string& caption, bool yesNo) {
  printf("MessageBox (no screen to show it): [%s]\n%s\n", caption.c_str(), text.c_str());
  return yesNo ? BoxAnswer::No : BoxAnswer::Ok;
}

}  // namespace sentrel
