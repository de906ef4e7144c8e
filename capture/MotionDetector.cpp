#include "capture/MotionDetector.h"

#include <cstdlib>

#include "capture/BlockLuminance.h"
#include "infra/Logger.h"
#include "platform/Tick.h"

CMotionDetector::CMotionDetector() : m_lastAlarmTick(platform::GetTickCount() - kInitialAgeMs) {}

void CMotionDetector::SetImage(int width, int height, const uint8_t* pixels) {
  const int newWidth = width > 0 ? width : kDefaultWidth;
  const int newHeight = height > 0 ? height : kDefaultHeight;
  if (!m_background.empty() && (newWidth != m_width || newHeight != m_height)) {
    // The maps were sized for the old picture; measuring the new one into them would run
    // past their end.
    Log("CMotionDetector::SetImage size changed from %d x %d to %d x %d, background dropped", m_width, m_height,
        newWidth, newHeight);
    std::vector<uint8_t>().swap(m_background);
    std::vector<uint8_t>().swap(m_current);
    m_frameParity = 0;
    m_changedCount = 0;
  }
  m_width = newWidth;
  m_height = newHeight;
  m_image = pixels;
}

void CMotionDetector::FeedFrame(const uint8_t* /*frame*/, size_t /*length*/) {
  if (m_image == nullptr) {
    if (!m_noImageLogged) {
      m_noImageLogged = true;
      Log("CMotionDetector::FeedFrame no image set, frame not analysed");
    }
    return;
  }
  const size_t stride = static_cast<size_t>(m_width) * 3;
  if (m_background.empty()) {
    const size_t blocks = static_cast<size_t>(BlocksX()) * BlocksY();
    m_background.resize(blocks);
    m_current.resize(blocks);
    blockluma::BlockMeans(m_image, stride, m_width, m_height, m_background.data());
    return;
  }
  blockluma::BlockMeans(m_image, stride, m_width, m_height, m_current.data());

  const size_t blocks = m_current.size();
  uint8_t* background = m_background.data();
  const uint8_t* current = m_current.data();
  if (++m_frameParity == 2) {
    m_frameParity = 0;
    for (size_t i = 0; i < blocks; ++i) {
      if (current[i] > background[i]) {
        ++background[i];
      } else if (current[i] < background[i]) {
        --background[i];
      }
    }
  }
  int changed = 0;
  for (size_t i = 0; i < blocks; ++i) {
    changed += std::abs(current[i] - background[i]) >= kChangeLevel ? 1 : 0;
  }
  m_changedCount = changed * kPixelsPerBlock;
}

int CMotionDetector::IsTriggered() {
  // Widened: with 32 bits the product overflows for pictures above about 2 million pixels.
  const int64_t perMille = static_cast<int64_t>(m_changedCount) * 1000 / m_width / m_height;
  if (perMille <= kTriggerPerMille) return 0;
  const uint32_t now = platform::GetTickCount();
  if (static_cast<int32_t>(now - m_lastAlarmTick) <= kAlarmSpacingMs) return 0;
  m_lastAlarmTick = now;
  return 1;
}
