#pragma once
// CFramePacer: keeps the number of raw frames a converter receives at its nominal frame
// rate. Raw input carries no timestamps, so the encoder's clock is the count of frames it
// was given: early frames are dropped, late ones repeated.
//
// Who may include it: media/ (the stream convertors) and its tests. Used on the capture
// thread of one channel only; takes no lock.
#include <cstdint>

class CFramePacer {
 public:
  // Restarts the pacer: not started, ticks per frame = 1000 / frameRate, offset 0. A frame
  // rate outside 1..1000 leaves the pacer passing every frame once.
  void Start(int frameRate);
  // How many times the frame arriving at `tick` is to be sent: 0 (dropped), 1, or more.
  int Next(uint32_t tick);

  int TicksPerFrame() const { return m_nTicksPerFrame; }
  int32_t CumulativeOffset() const { return m_nCumulativeOffsetTick; }

 private:
  uint32_t m_nLastTick = 0;  // 0: not started
  int m_nTicksPerFrame = 0;
  int32_t m_nCumulativeOffsetTick = 0;
};
