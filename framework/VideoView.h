#pragma once
// A view inside the video area that shows the finished 24-bit preview of one channel.
// ShowImage is called on the capture thread: it copies the picture and asks the
// user-interface thread to repaint, at most one repaint pending at a time. While nobody can
// see the view (window hidden, minimised or off screen, or covered by an earlier view) it
// does neither; IsSeen tells the capture thread so, which may then skip making the picture.
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
  bool IsSeen() const;
  int Id() const;
  VideoViewImpl* Impl() const { return m_impl.get(); }

 private:
  std::unique_ptr<VideoViewImpl> m_impl;
};
