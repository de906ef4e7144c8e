#pragma once
// CCameraWnd: one capture channel. For each frame, on the channel's capture thread, it
// paints the preview with its clock, runs motion detection when the channel is armed and
// posts WM_CAMERA_ALARM to the main window on an alarm. SetUp, WriteStatistics and
// RestartCapture run on the user-interface thread.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/AVICapWnd.h"
#include "media/RawFramePool.h"

class CFileDispatcher;
class CMotionDetector;
class CPreviewRenderer;
class CStreamConvertor;

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

  // kind "flv" or "rtp" (first letter "r": the 3GP convertor). 0 without that convertor.
  int AttachViewer(CFileDispatcher* dispatcher, const char* kind);
  void DetachViewer(CFileDispatcher* dispatcher);

  // A JPEG of the latest frame: outName (260 bytes) gets "<frame file>.jpg". 1 when the
  // conversion ran, 0 without a frame or when the frame file could not be written.
  int Snapshot(char* outName, const char* outputSize);
  // The last seconds of the FLV stream into the default clip file (the hidden Status button).
  int SaveRecentClip();

  // The alarm clip, user-interface thread. PrepareUploadFile takes the alarm (0 while one
  // is pending on this channel) and has the channel's uploader log in; UploadAlarmAVData
  // cuts the clip from alarmTick - 3000 to alarmTick + 5000 and hands it to the uploader.
  // It returns 0 when nothing was pending or no clip was written, else 1, and the upload's
  // result follows as WM_ALARM_UPLOADED (result, channel) to the main window.
  int PrepareUploadFile(uint32_t alarmTick);
  int UploadAlarmAVData();

  CStreamConvertor* FlvConvertor() const { return m_pFlvConvertor.get(); }
  CStreamConvertor* MobileConvertor() const { return m_pMobileConvertor.get(); }
  // The resolution index for a capture size (4 = 640x480).
  static int SizeCodeFor(int width, int height);

  int Channel() const { return m_nChannel; }
  int RejectedFrames() const { return m_nRejectedFrames; }
  CMotionDetector* Detector() const { return m_pDetector.get(); }
  CPreviewRenderer* Renderer() const { return m_pRenderer.get(); }

 private:
  static constexpr uint32_t kRefusalLogMs = 10000;
  // Frames pinned at most: the queues of both convertors (16 sends each, of a closing and a
  // new connection), the latest frame and one being filled.
  static constexpr size_t kMaxFrames = 4 * 16 + 2;
  void DetectMotion(platform::VIDEOHDR* frame);
  RawFrame* KeepLatest(const platform::VIDEOHDR* frame);
  void NoteConvertorRefusals(bool accepted);

  // Declared before the convertors, so it outlives their queued sends.
  CRawFramePool m_frames{kMaxFrames};
  std::unique_ptr<CStreamConvertor> m_pFlvConvertor;
  std::unique_ptr<CStreamConvertor> m_pMobileConvertor;
  std::unique_ptr<CMotionDetector> m_pDetector;
  int m_nChannel;
  uint32_t m_nAlarmTick = 0;
  // The login of a pending alarm lives on the channel's upload worker; this says one is.
  bool m_bUploadPending = false;
  // Capture thread only.
  bool m_bRefusingFrames = false;
  bool m_bRefusalLogged = false;
  uint32_t m_nRefusingSince = 0;
  const uint8_t* m_pFrameData = nullptr;
  uint32_t m_nFrameLength = 0;
  int m_nSizeCode = 4;
  int m_nRejectedFrames = 0;
  std::unique_ptr<CPreviewRenderer> m_pRenderer;
  // The capture service reuses its frame memory once the callback returns, so each frame
  // is copied once: the convertors send that copy and it stays pinned as the latest frame
  // for snapshots, which run on other threads.
  std::mutex m_frameLock;
  RawFrame* m_pLatest = nullptr;  // pinned while it is the latest
  std::vector<uint8_t> m_latestFallback;  // when every pool frame is pinned
  std::mutex m_snapshotLock;
};
