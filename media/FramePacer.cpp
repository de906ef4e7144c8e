#include "media/FramePacer.h"

#include "infra/Logger.h"

void CFramePacer::Start(int frameRate) {
  m_nLastTick = 0;
  m_nTicksPerFrame = frameRate > 0 && frameRate <= 1000 ? 1000 / frameRate : 0;
  m_nCumulativeOffsetTick = 0;
}

int CFramePacer::Next(uint32_t tick) {
  // Without a usable rate there is nothing to pace against (and nothing to divide by).
  if (m_nTicksPerFrame <= 0) return 1;
  if (m_nLastTick == 0) {
    // A tick of 0 would read as "not started" again; the next frame then restarts the clock.
    m_nLastTick = tick;
    LogAtLevel(LOG_DEBUG, "Tick/Frame=%d, tick=%u", m_nTicksPerFrame, tick);
    return 1;
  }
  const int32_t elapsed = static_cast<int32_t>(tick - m_nLastTick);
  m_nCumulativeOffsetTick += elapsed - m_nTicksPerFrame;
  LogAtLevel(LOG_DEBUG, "nOffsetTick=%d, m_nCumulativeOffsetTick=%d", elapsed, m_nCumulativeOffsetTick);
  m_nLastTick = tick;
  if (m_nCumulativeOffsetTick <= -m_nTicksPerFrame) {
    m_nCumulativeOffsetTick += m_nTicksPerFrame;
    return 0;
  }
  if (m_nCumulativeOffsetTick < m_nTicksPerFrame) return 1;
  const int count = m_nCumulativeOffsetTick / m_nTicksPerFrame + 1;
  m_nCumulativeOffsetTick %= m_nTicksPerFrame;
  return count;
}
