#include "capture/CameraWnd.h"

#include <cstdio>

#include "camera_config/CameraInfoMgr.h"
#include "capture/CaptureStats.h"
#include "capture/MotionDetector.h"
#include "capture/PreviewRenderer.h"
#include "framework/Messages.h"
#include "framework/Wnd.h"
#include "infra/Logger.h"
#include "platform/Tick.h"

CCameraWnd::CCameraWnd(int channel) : m_pDetector(std::make_unique<CMotionDetector>()), m_nChannel(channel) {}

CCameraWnd::~CCameraWnd() {
  if (m_pRenderer) m_pRenderer->Destroy();
}

void CCameraWnd::SetUp() {
  platform::CAPSTATUS status{};
  GetStatus(&status, sizeof(status));
  const int width = static_cast<int>(status.uiImageWidth);
  const int height = static_cast<int>(status.uiImageHeight);
  if (!m_pRenderer) {
    m_pRenderer = std::make_unique<CPreviewRenderer>();
    m_pRenderer->Create(m_view, width, height);
  }
  m_pDetector->SetImage(width, height, m_pRenderer->Pixels());
}

int CCameraWnd::OnVideoStream(platform::VIDEOHDR* frame) {
  m_pFrameData = frame->lpData;
  m_nFrameLength = frame->dwBufferLength;
  if (m_pRenderer) m_pRenderer->Render(frame->lpData, frame->dwBufferLength, 1);

  // Until the channel has a stream convertor every frame counts as accepted, so that
  // detection runs on all of them.
  const bool accepted = true;
  if (!accepted) {
    ++m_nRejectedFrames;
  } else {
    CCameraInfo* info = GetCameraInfoMgr().GetCameraInfo(m_nChannel);
    if (info && info->GetAlarmStatus()) {
      m_pDetector->FeedFrame(frame->lpData, frame->dwBufferLength);
      if (m_pDetector->IsTriggered() == 1) {
        if (CWnd* main = GetMainWnd())
          main->PostMessage(WM_CAMERA_ALARM, platform::GetTickCount(), static_cast<intptr_t>(m_nChannel));
      }
    }
  }
  return 1;
}

int CCameraWnd::OnWaveStream(platform::WAVEHDR*) { return 1; }

namespace {

// No time elapsed (a run of no frames, or all within the same millisecond) prints rate 0
// instead of dividing by zero.
void LogRate(const char* format, uint32_t count, uint32_t elapsed) {
  char text[256];
  const uint32_t rate = elapsed == 0 ? 0 : static_cast<uint32_t>(uint64_t{count} * 1000u / elapsed);
  std::snprintf(text, sizeof(text), format, static_cast<int>(count), elapsed, static_cast<int>(rate));
  Log("%s", text);
}

}  // namespace

void CCameraWnd::WriteStatistics() {
  CaptureStats& stats = GetCaptureStats();
  LogRate("Total capture %d audio frames, tick=%u, frame rate=%d", stats.AudioBlocks(),
          platform::GetTickCount() - stats.FirstTick());
  LogRate("Total capture %d video frames, tick=%u, frame rate=%d", stats.VideoFrames(),
          platform::GetTickCount() - stats.FirstTick());
  stats.videoFrames.fetch_sub(static_cast<uint32_t>(m_nRejectedFrames), std::memory_order_relaxed);
  LogRate("Total capture %d video converted frames, tick=%u, frame rate=%d", stats.VideoFrames(),
          platform::GetTickCount() - stats.FirstTick());
}

int CCameraWnd::RestartCapture() {
  CaptureStop();
  CaptureSequenceNoFile();
  return 1;
}

uint32_t CCameraWnd::ConvertedBytes() const { return 0; }

int CCameraWnd::PrepareUploadFile(uint32_t alarmTick) {
  (void)alarmTick;
  return 0;
}

int CCameraWnd::UploadAlarmAVData() { return 0; }
