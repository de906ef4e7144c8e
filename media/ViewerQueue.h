#pragma once
// How far a live viewer may fall behind. Live packages are queued on the viewer's socket by
// reference, so a viewer that reads slowly or not at all pins stream memory. A viewer whose
// queue holds more than maxBytes, or whose sends have not moved for lagMs, gets no new
// packages and starts again at the next key frame once its queue moves; one whose sends
// have not moved for stallMs is closed by its socket's maintenance (SetSendStallLimit).
//
// Who may include it: media/. Pure: numbers in, a verdict out.
#include <cstdint>

struct ViewerQueueLimits {
  int64_t maxBytes = 4 << 20;
  uint32_t lagMs = 5000;
  uint32_t stallMs = 30000;

  // The defaults, with the stall time taken from VTCAM_VIEWER_STALL_SECONDS when it holds
  // a number of seconds from 1 to 3600 (tests shorten it; the lag is kept below it).
  static const ViewerQueueLimits& Program();
};

enum class ViewerVerdict { kSend, kSkip };

// queuedBytes: bytes of sends not yet completed; stalledMs: how long the oldest of them has
// been waiting without any send completing (0 when nothing is queued).
ViewerVerdict JudgeViewerQueue(const ViewerQueueLimits& limits, int64_t queuedBytes, uint32_t stalledMs);
