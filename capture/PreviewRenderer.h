#pragma once
// CPreviewRenderer: turns each captured YUY2 frame into the channel's 24-bit preview
// picture, draws the clock into it and hands it to the display.
//
// One per channel, owned by the channel. Create and Destroy belong to channel set-up and
// tear-down; Render runs on the channel's capture thread for every frame and neither
// allocates nor locks. Pixels() is the motion detector's input and stays valid from Create
// to Destroy.
//
// The picture is bottom-up (the first row in memory is the bottom row), blue-green-red,
// width * 3 bytes per row without padding.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/IImageView.h"

class CPreviewRenderer {
 public:
  // Top-left of the clock text, in top-down window coordinates.
  static constexpr int kClockX = 10;
  static constexpr int kClockY = 5;
  static constexpr int kMaxSide = 8192;

  CPreviewRenderer() = default;
  ~CPreviewRenderer() = default;
  CPreviewRenderer(const CPreviewRenderer&) = delete;
  CPreviewRenderer& operator=(const CPreviewRenderer&) = delete;

  // Sizes the picture (black) for frames of width x height; `view` may be null, then
  // nothing is shown. A renderer that was created before is re-created. Returns false, and
  // keeps nothing, for a size that is not positive or larger than kMaxSide.
  bool Create(IImageView* view, int width, int height);

  // Converts the frame (width * 2 bytes per row, rows top to bottom) into the picture,
  // draws the local time "hh:mm:ss" in red at the clock position when drawClock is
  // non-zero, then shows the picture. A frame shorter than a whole picture fills only the
  // rows it holds (logged once); the other rows keep what they showed. Returns 1, or 0
  // without touching anything when not created or the frame is null.
  int Render(const uint8_t* frame, size_t length, int drawClock);

  // Render with a given clock time instead of the local time.
  int RenderAt(const uint8_t* frame, size_t length, int drawClock, int hour, int minute, int second);

  // Draws "hh:mm:ss" in red with the built-in font; only the glyph pixels are written.
  void DrawClock(int hour, int minute, int second);

  // Whether the picture would be seen by anybody (a view that says so).
  bool IsSeen() const { return m_view != nullptr && m_view->IsSeen(); }
  uint8_t* Pixels() { return m_pixels.empty() ? nullptr : m_pixels.data(); }
  int Width() const { return m_width; }
  int Height() const { return m_height; }

  // Releases the picture; Pixels() is null afterwards.
  void Destroy();

 private:
  void DrawText(const char* text, int left, int top);

  IImageView* m_view = nullptr;
  int m_width = 0;
  int m_height = 0;
  std::vector<uint8_t> m_pixels;
  bool m_shortFrameLogged = false;
};
