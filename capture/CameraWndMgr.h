#pragma once
// CCameraWndMgr: finds the capture drivers when the main window opens, makes one channel
// per driver (up to ten) and starts it, stops them all at the end, and hands channels out
// by number. InitWnd, ConnectCamera and Stop run on the user-interface thread.
#include <cstdint>

#include "capture/CameraWnd.h"
#include "capture/IVideoHost.h"
#include "media/CameraChannels.h"

class CCameraWndMgr : public ICameraChannels {
 public:
  static constexpr int kChannelSlots = 10;

  void InitWnd(IVideoHost* parent);
  int ConnectCamera(CCameraWnd* window, int driverIndex);
  void Stop();
  CCameraWnd* GetChannel(int channel) const;

  int PrepareUploadFile(uint32_t alarmTick, int channel);
  int UploadAlarmAVData(int channel);
  int RestartCapture(int channel);
  int AttachViewer(CFileDispatcher* viewer, const char* kind, int channel) override;
  void DetachViewer(int channel, CFileDispatcher* viewer) override;
  int Snapshot(char* outName, const char* outputSize, int channel) override;

 private:
  int ConverterConnections() const;

  CCameraWnd* m_channels[kChannelSlots] = {};
};

CCameraWndMgr& GetCameraWndMgr();
