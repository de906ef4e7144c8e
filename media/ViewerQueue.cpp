#include "media/ViewerQueue.h"

#include <algorithm>
#include <cstdlib>

const ViewerQueueLimits& ViewerQueueLimits::Program() {
  static const ViewerQueueLimits limits = [] {
    ViewerQueueLimits made;
    if (const char* text = std::getenv("VTCAM_VIEWER_STALL_SECONDS")) {
      char* end = nullptr;
      const long seconds = std::strtol(text, &end, 10);
      if (end != text && *end == '\0' && seconds >= 1 && seconds <= 3600) {
        made.stallMs = static_cast<uint32_t>(seconds) * 1000u;
        made.lagMs = std::min(made.lagMs, made.stallMs / 2);
      }
    }
    return made;
  }();
  return limits;
}

ViewerVerdict JudgeViewerQueue(const ViewerQueueLimits& limits, int64_t queuedBytes, uint32_t stalledMs) {
  if (queuedBytes <= 0) return ViewerVerdict::kSend;
  if (queuedBytes > limits.maxBytes || stalledMs >= limits.lagMs) return ViewerVerdict::kSkip;
  return ViewerVerdict::kSend;
}
