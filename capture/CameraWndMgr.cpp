#include "capture/CameraWndMgr.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "capture/AlarmUploader.h"
#include "infra/Logger.h"
#include "media/StreamConvertor.h"
#include "media/StreamConvertorSession.h"
#include "platform/PointerText.h"

CCameraWndMgr& GetCameraWndMgr() {
  // Channels live until the process ends; capture threads may still reach them.
  static CCameraWndMgr* manager = new CCameraWndMgr;
  return *manager;
}

void CCameraWndMgr::InitWnd(IVideoHost* parent) {
  int found[kChannelSlots];
  int count = 0;
  for (int index = 0; index < kChannelSlots && count < kChannelSlots; ++index) {
    char name[260] = {};
    char version[260] = {};
    if (!CAVICapWnd::EnumerateDriver(index, name, version)) continue;
    found[count++] = index;
    Log("[channel:%d]CCameraWndMgr::InitWnd found [%s, %s]", index, name, version);
  }
  // A main window opened again (after a log-out) reconnects the channels it had: completion
  // threads may still be serving viewers from their convertors, so they are never deleted
  // while the program runs. Their capture was stopped as the previous window closed.
  for (int i = 0; i < count; ++i) {
    CCameraWnd* wnd = m_channels[i];
    if (wnd) {
      wnd->CaptureStop();
      wnd->DriverDisconnect();
      wnd->DestroyWindow();
    } else {
      wnd = new CCameraWnd(i);
    }
    const int rect[4] = {0, 0, 640, 480};
    wnd->Create(0x50000000u /* child, visible */, rect, parent, 100 + i);
    m_channels[i] = wnd;
    // Its uploader tries the clips an earlier run could not deliver.
    if (CAlarmUploader* uploader = GetAlarmUploader(i)) uploader->Start();
    if (!ConnectCamera(wnd, found[i]) && parent) {
      char text[64];
      std::snprintf(text, sizeof(text), "通道[%d]连接失败。", i);
      parent->ShowMessage(text);
    }
  }
  ReserveConvertorSessions(ConverterConnections());
}

// Each converter connects once for its stream and once more when it carries audio.
int CCameraWndMgr::ConverterConnections() const {
  int connections = 0;
  for (CCameraWnd* wnd : m_channels) {
    if (!wnd) continue;
    for (CStreamConvertor* convertor : {wnd->FlvConvertor(), wnd->MobileConvertor()})
      if (convertor) connections += (convertor->Type() >> 16) != 0 ? 2 : 1;
  }
  return connections;
}

int CCameraWndMgr::ConnectCamera(CCameraWnd* window, int driverIndex) {
  if (!window->DriverConnect(driverIndex)) {
    LogWithLastError("CCameraWndMgr::ConnectCamera Failed to connect %x to device(id=%d)!",
                     platform::LowAddress(window), driverIndex);
    window->DestroyWindow();
    return 0;
  }
  window->SetUp();

  uint32_t size = 0;
  uint8_t* block = nullptr;
  if (window->GetAudioFormat(&size, &block) && size >= sizeof(platform::WAVEFORMATEX)) {
    reinterpret_cast<platform::WAVEFORMATEX*>(block)->cbSize = 0;
    window->SetAudioFormat(block, sizeof(platform::WAVEFORMATEX));
  }
  delete[] block;

  platform::CAPTUREPARMS parms{};
  window->GetSequenceSetup(&parms, sizeof(parms));
  parms.fYield = 1;
  parms.fAbortLeftMouse = 0;
  parms.fAbortRightMouse = 0;
  window->SetSequenceSetup(&parms, sizeof(parms));

  window->SetStatusCallback();
  window->SetVideoStreamCallback();
  window->SetWaveStreamCallback();
  window->CaptureSequenceNoFile();
  Log("CCameraWndMgr::ConnectCamera connect %x to device(id=%d) OK!",
      platform::LowAddress(window), driverIndex);
  return 1;
}

void CCameraWndMgr::Stop() {
  for (int i = 0; i < kChannelSlots; ++i) {
    CCameraWnd* wnd = m_channels[i];
    if (!wnd) continue;
    wnd->CaptureStop();
    wnd->DriverDisconnect();
    wnd->WriteStatistics();
    Log("CCameraWndMgr::Stop stop camera window [%d] %x!", i, platform::LowAddress(wnd));
  }
}

CCameraWnd* CCameraWndMgr::GetChannel(int channel) const {
  if (channel < 0 || channel >= kChannelSlots) return nullptr;
  return m_channels[channel];
}

int CCameraWndMgr::PrepareUploadFile(uint32_t alarmTick, int channel) {
  CCameraWnd* wnd = GetChannel(channel);
  return wnd ? wnd->PrepareUploadFile(alarmTick) : 0;
}

int CCameraWndMgr::UploadAlarmAVData(int channel) {
  CCameraWnd* wnd = GetChannel(channel);
  return wnd ? wnd->UploadAlarmAVData() : 0;
}

int CCameraWndMgr::RestartCapture(int channel) {
  CCameraWnd* wnd = GetChannel(channel);
  return wnd ? wnd->RestartCapture() : 0;
}

int CCameraWndMgr::AttachViewer(CFileDispatcher* viewer, const char* kind, int channel) {
  CCameraWnd* wnd = GetChannel(channel);
  return wnd ? wnd->AttachViewer(viewer, kind) : 0;
}

void CCameraWndMgr::DetachViewer(int channel, CFileDispatcher* viewer) {
  if (CCameraWnd* wnd = GetChannel(channel)) wnd->DetachViewer(viewer);
}

int CCameraWndMgr::Snapshot(char* outName, const char* outputSize, int channel) {
  CCameraWnd* wnd = GetChannel(channel);
  return wnd ? wnd->Snapshot(outName, outputSize) : 0;
}
