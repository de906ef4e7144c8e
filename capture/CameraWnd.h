#pragma once
// CCameraWnd: one capture channel. For each frame, on the channel's capture thread, it
// paints the preview with its clock, runs motion detection when the channel is armed and
// posts WM_CAMERA_ALARM to the main window on an alarm. SetUp, WriteStatistics and
// RestartCapture run on the user-interface thread.
#include <cstdint>
#include <memory>

#include "capture/AVICapWnd.h"

class CMotionDetector;
class CPreviewRenderer;

class CCameraWnd : public CAVICapWnd {
 public:
  explicit CCameraWnd(int channel);
  ~CCameraWnd() override;

  void SetUp();
  int OnVideoStream(platform::VIDEOHDR* frame) override;
  int OnWaveStream(platform::WAVEHDR* block) override;
  void WriteStatistics();
  int RestartCapture();
  uint32_t ConvertedBytes() const;

  // The alarm clip: fails until an upload path exists.
  int PrepareUploadFile(uint32_t alarmTick);
  int UploadAlarmAVData();

  int Channel() const { return m_nChannel; }
  int RejectedFrames() const { return m_nRejectedFrames; }
  CMotionDetector* Detector() const { return m_pDetector.get(); }
  CPreviewRenderer* Renderer() const { return m_pRenderer.get(); }

 private:
  std::unique_ptr<CMotionDetector> m_pDetector;
  int m_nChannel;
  uint32_t m_nAlarmTick = 0;
  int m_nUploadConnection = -1;
  const uint8_t* m_pFrameData = nullptr;
  uint32_t m_nFrameLength = 0;
  int m_nSizeCode = 4;
  int m_nRejectedFrames = 0;
  std::unique_ptr<CPreviewRenderer> m_pRenderer;
};
