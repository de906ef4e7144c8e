#pragma once
// CMotionDetector: decides from the channel's preview picture when a motion alarm is due.
//
// Each frame's 8x8 block brightness is compared with a background that follows the scene
// by one step every second frame; a frame where more than 35 % of the picture (counted in
// blocks of 64 pixels) differs by 15 levels or more raises an alarm, at most one per 15 s
// and not in the first 5 s of the detector's life.
//
// One per channel, made with the channel. SetImage belongs to channel set-up; FeedFrame
// and IsTriggered run on the channel's capture thread, right after the frame was rendered
// into the picture (clock included). No lock; FeedFrame allocates only on the first frame.
#include <cstddef>
#include <cstdint>
#include <vector>

class CMotionDetector {
 public:
  static constexpr int kDefaultWidth = 640;
  static constexpr int kDefaultHeight = 480;
  static constexpr int kChangeLevel = 15;             // block difference that counts
  static constexpr int kPixelsPerBlock = 64;          // changed blocks -> changed pixels
  static constexpr int kTriggerPerMille = 350;        // changed pixels per 1000, exclusive
  static constexpr int32_t kAlarmSpacingMs = 15000;   // between alarms, exclusive
  static constexpr uint32_t kInitialAgeMs = 10000;    // first reference lies this far back

  // Reads the tick: the first alarm can come 5001 ms from now.
  CMotionDetector();
  ~CMotionDetector() = default;
  CMotionDetector(const CMotionDetector&) = delete;
  CMotionDetector& operator=(const CMotionDetector&) = delete;

  // The picture to watch: bottom-up, blue-green-red, width * 3 bytes per row. A size that
  // is not positive becomes 640 (width) or 480 (height). A new size after frames were fed
  // starts over without a background.
  void SetImage(int width, int height, const uint8_t* pixels);

  // Measures the picture in its present state. The raw frame is not used.
  void FeedFrame(const uint8_t* frame = nullptr, size_t length = 0);

  // 1 when an alarm is to be raised for the frame just fed, else 0.
  int IsTriggered();

  int Width() const { return m_width; }
  int Height() const { return m_height; }
  int BlocksX() const { return (m_width - 1) / 8 + 1; }
  int BlocksY() const { return (m_height - 1) / 8 + 1; }
  // Null until the first frame.
  const uint8_t* Background() const { return m_background.empty() ? nullptr : m_background.data(); }
  const uint8_t* Current() const { return m_current.empty() ? nullptr : m_current.data(); }
  int ChangedCount() const { return m_changedCount; }
  int FrameParity() const { return m_frameParity; }
  uint32_t LastAlarmTick() const { return m_lastAlarmTick; }

 private:
  std::vector<uint8_t> m_background;
  std::vector<uint8_t> m_current;
  const uint8_t* m_image = nullptr;
  int m_frameParity = 0;
  int m_changedCount = 0;
  int m_width = kDefaultWidth;
  int m_height = kDefaultHeight;
  uint32_t m_lastAlarmTick;
  bool m_noImageLogged = false;
};
