#include "capture/CameraWnd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "camera_config/CameraInfoMgr.h"
#include "capture/AlarmUploader.h"
#include "capture/CaptureStats.h"
#include "capture/MotionDetector.h"
#include "capture/PreviewRenderer.h"
#include "framework/Messages.h"
#include "framework/Wnd.h"
#include "infra/Logger.h"
#include "media/FileDispatcher.h"
#include "media/StreamConvertor.h"
#include "platform/TempName.h"
#include "platform/Tick.h"

namespace {

// The channel's FLV convertor: a convertor of its own class that adds no behaviour.
class CChannelFlvConvertor : public CStreamConvertor {
 public:
  using CStreamConvertor::CStreamConvertor;
};

}  // namespace

CCameraWnd::CCameraWnd(int channel) : m_pDetector(std::make_unique<CMotionDetector>()), m_nChannel(channel) {}

CCameraWnd::~CCameraWnd() {
  m_pFlvConvertor.reset();
  m_pMobileConvertor.reset();
  if (m_pLatest) m_pLatest->Release();
  if (m_pRenderer) m_pRenderer->Destroy();
}

int CCameraWnd::SizeCodeFor(int width, int height) {
  struct Size {
    int w, h, code;
  } static const sizes[] = {{112, 84, 0}, {160, 120, 1}, {176, 144, 2}, {352, 288, 3}, {640, 480, 4}};
  for (const Size& s : sizes)
    if (s.w == width && s.h == height) return s.code;
  return -1;
}

void CCameraWnd::SetUp() {
  platform::CAPSTATUS status{};
  GetStatus(&status, sizeof(status));
  const int width = static_cast<int>(status.uiImageWidth);
  const int height = static_cast<int>(status.uiImageHeight);

  // The converter cuts frames by the size it is told: a capture size it has no name for
  // would turn every frame into noise, so such a channel gets no convertors.
  // A channel set up again (a main window opened after a log-out) keeps its convertors, and
  // with them the viewers and converter connections attached to them.
  const int sizeCode = SizeCodeFor(width, height);
  if (m_pFlvConvertor) {
  } else if (sizeCode < 0) {
    Log("[channel:%d]CCameraWnd::SetUp capture size %dx%d has no converter size, no stream", m_nChannel, width,
        height);
  } else {
    m_nSizeCode = sizeCode;
    CCameraInfo* info = GetCameraInfoMgr().GetCameraInfo(m_nChannel);
    const bool audio = status.fAudioHardware && info && info->GetAudioEnable() == 1;
    m_pFlvConvertor = std::make_unique<CChannelFlvConvertor>(audio ? 0x20400 : 0x400, 10, m_nSizeCode);
    m_pFlvConvertor->Open();
    m_pMobileConvertor = std::make_unique<C3GPStreamConvertor>(audio ? 0x20500 : 0x500, 10, m_nSizeCode);
    // Nothing cuts clips from the phone stream, so its converter may rest while no phone
    // watches; with sound it may not, since the sound would run ahead of the pictures.
    m_pMobileConvertor->SetRestsUnwatched(!audio);
    m_pMobileConvertor->Open();
  }
  // The preview paints into the view of the window that is open now.
  if (!m_pRenderer) m_pRenderer = std::make_unique<CPreviewRenderer>();
  m_pRenderer->Create(m_view, width, height);
  m_pDetector->SetImage(width, height, m_pRenderer->Pixels());
}

int CCameraWnd::OnVideoStream(platform::VIDEOHDR* frame) {
  RawFrame* shared = KeepLatest(frame);
  CCameraInfo* info = GetCameraInfoMgr().GetCameraInfo(m_nChannel);
  const bool armed = info && info->GetAlarmStatus();
  // The picture feeds the motion detector and the view; with neither wanting it, the
  // conversion is skipped.
  if (m_pRenderer && (armed || m_pRenderer->IsSeen())) m_pRenderer->Render(frame->lpData, frame->dwBufferLength, 1);

  const char* data = reinterpret_cast<const char*>(frame->lpData);
  const int length = static_cast<int>(frame->dwBufferLength);
  const auto convert = [&](CStreamConvertor* convertor) {
    return shared ? convertor->ConvertSourceVideoFrame(shared) : convertor->ConvertSourceVideoData(data, length);
  };
  const bool accepted = !m_pFlvConvertor || convert(m_pFlvConvertor.get()) != 0;
  if (!accepted) ++m_nRejectedFrames;
  NoteConvertorRefusals(accepted);
  if (armed) DetectMotion(frame);
  if (m_pMobileConvertor) convert(m_pMobileConvertor.get());
  return 1;
}

// The one copy of the frame, pinned as the latest until the next one replaces it; null when
// every pooled frame is pinned (then the convertors copy for themselves).
RawFrame* CCameraWnd::KeepLatest(const platform::VIDEOHDR* frame) {
  const int length = static_cast<int>(frame->dwBufferLength);
  RawFrame* copy = frame->lpData ? m_frames.Copy(frame->lpData, length) : nullptr;
  if (copy) copy->AddRef();
  std::lock_guard<std::mutex> lock(m_frameLock);
  if (m_pLatest) m_pLatest->Release();
  m_pLatest = copy;
  if (copy) {
    std::vector<uint8_t>().swap(m_latestFallback);
    m_pFrameData = reinterpret_cast<const uint8_t*>(copy->data.get());
  } else {
    m_latestFallback.assign(frame->lpData, frame->lpData + (frame->lpData ? frame->dwBufferLength : 0));
    m_pFrameData = m_latestFallback.data();
  }
  m_nFrameLength = frame->dwBufferLength;
  return copy;
}

// Every frame of an armed channel is checked, whether or not the converter took it: a
// busy or dead converter must not switch alarms off.
void CCameraWnd::DetectMotion(platform::VIDEOHDR* frame) {
  m_pDetector->FeedFrame(frame->lpData, frame->dwBufferLength);
  if (m_pDetector->IsTriggered() != 1) return;
  if (CWnd* main = GetMainWnd())
    main->PostMessage(WM_CAMERA_ALARM, platform::GetTickCount(), static_cast<intptr_t>(m_nChannel));
}

// Refused frames mean no stream history, hence alarm clips without pictures: say so once
// per run of refusals that lasts more than 10 s.
void CCameraWnd::NoteConvertorRefusals(bool accepted) {
  if (accepted) {
    m_bRefusingFrames = false;
    m_bRefusalLogged = false;
    return;
  }
  const uint32_t now = platform::GetTickCount();
  if (!m_bRefusingFrames) {
    m_bRefusingFrames = true;
    m_nRefusingSince = now;
  } else if (!m_bRefusalLogged && now - m_nRefusingSince > kRefusalLogMs) {
    m_bRefusalLogged = true;
    Log("[channel:%d]CCameraWnd::OnVideoStream the FLV convertor has refused every frame for %u ms; alarm clips "
        "have no video until it takes frames again.",
        m_nChannel, now - m_nRefusingSince);
  }
}

int CCameraWnd::OnWaveStream(platform::WAVEHDR* block) {
  const char* data = reinterpret_cast<const char*>(block->lpData);
  const int length = static_cast<int>(block->dwBufferLength);
  if (m_pFlvConvertor) m_pFlvConvertor->ConvertSourceAudioData(data, length);
  if (m_pMobileConvertor) m_pMobileConvertor->ConvertSourceAudioData(data, length);
  return 1;
}

int CCameraWnd::AttachViewer(CFileDispatcher* dispatcher, const char* kind) {
  CStreamConvertor* convertor = kind && kind[0] == 'r' ? m_pMobileConvertor.get() : m_pFlvConvertor.get();
  if (!convertor) return 0;
  convertor->AddViewer(dispatcher);
  return 1;
}

void CCameraWnd::DetachViewer(CFileDispatcher* dispatcher) {
  if (m_pFlvConvertor) m_pFlvConvertor->RemoveViewer(dispatcher);
  if (m_pMobileConvertor) m_pMobileConvertor->RemoveViewer(dispatcher);
}

int CCameraWnd::Snapshot(char* outName, const char* outputSize) {
  std::lock_guard<std::mutex> serial(m_snapshotLock);
  std::string frameFile;
  platform::GetTempFileName(platform::TempDirectory(), "vts", platform::GetTickCount(), &frameFile);
  frameFile += ".yuv";
  {
    std::lock_guard<std::mutex> lock(m_frameLock);
    if (!m_pFrameData || m_nFrameLength == 0) return 0;
    const int fd = open(frameFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    uint32_t written = 0;
    while (written < m_nFrameLength) {
      const ssize_t n = write(fd, m_pFrameData + written, m_nFrameLength - written);
      if (n <= 0) break;
      written += static_cast<uint32_t>(n);
    }
    close(fd);
  }
  std::snprintf(outName, 260, "%s.jpg", frameFile.c_str());
  CStreamConvertor::ConvertYUV2JPG(m_nSizeCode, frameFile.c_str(), outName, outputSize);
  unlink(frameFile.c_str());
  return 1;
}

int CCameraWnd::SaveRecentClip() {
  if (!m_pFlvConvertor) return 0;
  const uint32_t now = platform::GetTickCount();
  return m_pFlvConvertor->GetHistoryClip(now - 12000, now - 4000, nullptr);
}

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

uint32_t CCameraWnd::ConvertedBytes() const { return m_pFlvConvertor ? m_pFlvConvertor->ConvertedBytes() : 0; }

int CCameraWnd::PrepareUploadFile(uint32_t alarmTick) {
  CAlarmUploader* uploader = GetAlarmUploader(m_nChannel);
  if (m_bUploadPending || !uploader) return 0;
  m_nAlarmTick = alarmTick;
  m_bUploadPending = true;
  // The login runs on the upload worker; one that fails counts as the store's first failed
  // attempt, so the clip is still cut and kept.
  uploader->Connect();
  return 1;
}

int CCameraWnd::UploadAlarmAVData() {
  if (!m_bUploadPending) return 0;
  m_bUploadPending = false;
  CAlarmUploader* uploader = GetAlarmUploader(m_nChannel);
  if (!m_pFlvConvertor) {
    uploader->Discard();
    return 0;
  }
  std::string clip;
  if (platform::GetTempFileName(platform::TempDirectory(), "vtc", 0, &clip) == 0 ||
      !m_pFlvConvertor->GetHistoryClip(m_nAlarmTick - 3000, m_nAlarmTick + 5000, clip.c_str())) {
    if (!clip.empty()) unlink(clip.c_str());
    uploader->Discard();
    return 0;
  }
  const uint32_t channel = static_cast<uint32_t>(m_nChannel);
  uploader->Upload(std::move(clip), [channel](int result) {
    if (CWnd* main = GetMainWnd())
      main->PostMessage(WM_ALARM_UPLOADED, static_cast<uintptr_t>(result), static_cast<intptr_t>(channel));
  });
  return 1;
}
