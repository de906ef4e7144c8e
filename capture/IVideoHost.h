#pragma once
// The window area the capture channels paint into (the main window's video area). The
// window layer implements it; the capture code stays toolkit-free. User-interface thread.
#include <string>

#include "capture/IImageView.h"

class IVideoHost {
 public:
  virtual ~IVideoHost() = default;
  // A view at (x, y, width, height) inside the area; null when none can be made. The view
  // lives as long as the host.
  virtual IImageView* CreateView(int x, int y, int width, int height, int id) = 0;
  // A message box owned by the host's window, without caption, with an OK button.
  virtual void ShowMessage(const std::string& text) = 0;
};
