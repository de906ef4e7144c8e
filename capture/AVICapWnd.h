#pragma once
// CAVICapWnd: one capture window over the capture service. It drives the service with
// the window operations and turns the per-frame and per-audio-block callbacks into calls
// of OnVideoStream / OnWaveStream on the right object, found through a process-wide
// registry of windows. Create, connect and disconnect run on the user-interface thread;
// the callbacks run on the service's capture thread of the window.
#include <cstdint>

#include "capture/IVideoHost.h"
#include "platform/capture/CaptureService.h"

class CAVICapWnd {
 public:
  CAVICapWnd() = default;
  virtual ~CAVICapWnd();
  CAVICapWnd(const CAVICapWnd&) = delete;
  CAVICapWnd& operator=(const CAVICapWnd&) = delete;

  virtual int OnReserved1() { return 1; }
  virtual int OnError(int id, const char* text);
  virtual int OnReserved2() { return 1; }
  virtual int OnStatus(int id, const char* text);
  virtual int OnVideoStream(platform::VIDEOHDR* frame);
  virtual int OnWaveStream(platform::WAVEHDR* block);
  virtual int OnYield();

  // rect: left, top, right, bottom inside parent. 1 on success, 0 when no window was made.
  int Create(uint32_t style, const int rect[4], IVideoHost* parent, int id);
  void DestroyWindow();

  int DriverConnect(int index);
  int DriverDisconnect();  // empties the window registry first
  int GetStatus(platform::CAPSTATUS* status, uint32_t size);
  // Asks the size, allocates, fetches; the caller frees *block with delete[].
  int GetAudioFormat(uint32_t* size, uint8_t** block);
  int SetAudioFormat(const void* block, uint32_t size);
  int GetSequenceSetup(platform::CAPTUREPARMS* parms, uint32_t size);
  int SetSequenceSetup(const platform::CAPTUREPARMS* parms, uint32_t size);
  int SetStatusCallback();
  int SetVideoStreamCallback();
  int SetWaveStreamCallback();
  int CaptureSequenceNoFile();
  int CaptureStop();

  static int EnumerateDriver(int index, char name[260], char version[260]);

  platform::CapHandle Handle() const { return m_hWnd; }
  IImageView* View() const { return m_view; }

  // The service's callbacks, public so that tests can play the service.
  static int StatusCallback(platform::CapHandle window, int id, const char* text);
  static int VideoStreamCallback(platform::CapHandle window, platform::VIDEOHDR* frame);
  static int WaveStreamCallback(platform::CapHandle window, platform::WAVEHDR* block);
  static CAVICapWnd* FromHandle(platform::CapHandle window);

 protected:
  platform::CapHandle m_hWnd = 0;
  IImageView* m_view = nullptr;
};
