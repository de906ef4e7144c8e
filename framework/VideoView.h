#pragma once
// A view inside the video area that shows the finished 24-bit preview of one channel.
// ShowImage is called on the capture thread: it copies the picture and asks the
// user-interface thread to repaint, at most one repaint pending at a time.
#include <cstdint>
#include <memory>

class VideoViewImpl;

class CVideoView {
 public:
  explicit CVideoView(std::unique_ptr<VideoViewImpl> impl);
  ~CVideoView();
  // bgrBottomUp: rows bottom to top, width * 3 bytes each, blue-green-red.
  void ShowImage(const uint8_t* bgrBottomUp, int width, int height);
  uint64_t FramesShown() const;
  int Id() const;

 private:
  std::unique_ptr<VideoViewImpl> m_impl;
};
