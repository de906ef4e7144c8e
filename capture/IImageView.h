#pragma once
// IImageView: where a finished preview picture goes. The capture code stays free of any
// toolkit; the window layer implements this and shows the picture however it likes.
//
// ShowImage is called on the capture thread of the channel, once per frame. The pixels are
// only valid during the call: an implementation that paints later must copy them.
#include <cstdint>

class IImageView {
 public:
  virtual ~IImageView() = default;
  // bgrBottomUp: height rows of width * 3 bytes (blue, green, red), no row padding; the
  // first row in memory is the bottom row of the picture.
  virtual void ShowImage(const uint8_t* bgrBottomUp, int width, int height) = 0;
  // Whether anybody can see the view now; read on the capture thread, may change any time.
  virtual bool IsSeen() const { return true; }
};
