#include "capture/AVICapWnd.h"

#include <mutex>
#include <unordered_map>

#include "capture/CaptureStats.h"
#include "infra/Logger.h"

namespace {

// Written on the user-interface thread, read per frame on capture threads.
std::mutex g_registryLock;
std::unordered_map<platform::CapHandle, CAVICapWnd*> g_registry;

void Register(platform::CapHandle handle, CAVICapWnd* wnd) {
  std::lock_guard<std::mutex> lock(g_registryLock);
  g_registry[handle] = wnd;
}

void ClearRegistry() {
  std::lock_guard<std::mutex> lock(g_registryLock);
  g_registry.clear();
}

}  // namespace

CAVICapWnd::~CAVICapWnd() {
  {
    std::lock_guard<std::mutex> lock(g_registryLock);
    for (auto it = g_registry.begin(); it != g_registry.end();) {
      if (it->second == this) it = g_registry.erase(it);
      else ++it;
    }
  }
  DestroyWindow();
}

CAVICapWnd* CAVICapWnd::FromHandle(platform::CapHandle window) {
  std::lock_guard<std::mutex> lock(g_registryLock);
  const auto it = g_registry.find(window);
  return it == g_registry.end() ? nullptr : it->second;
}

int CAVICapWnd::OnError(int id, const char* text) {
  Log("CAVICapWnd::OnError, Received Error callback, ID=%d, String=%s\n", id, text ? text : "");
  return 1;
}

int CAVICapWnd::OnStatus(int id, const char* text) {
  Log("CAVICapWnd::OnStatus, Received Status callback, ID=%d, String=%s\n", id, text ? text : "");
  return 1;
}

int CAVICapWnd::OnVideoStream(platform::VIDEOHDR*) { return 1; }
int CAVICapWnd::OnWaveStream(platform::WAVEHDR*) { return 1; }

int CAVICapWnd::OnYield() {
  Log("CAVICapWnd::OnYield, Received Yield callback\n");
  return 1;
}

int CAVICapWnd::Create(uint32_t /*style*/, const int rect[4], IVideoHost* parent, int id) {
  const int width = rect[2] - rect[0];
  const int height = rect[3] - rect[1];
  m_hWnd = platform::CapCreateCaptureWindow(rect[0], rect[1], width, height, id);
  if (m_hWnd == 0) return 0;
  if (parent) m_view = parent->CreateView(rect[0], rect[1], width, height, id);
  Register(m_hWnd, this);
  return 1;
}

void CAVICapWnd::DestroyWindow() {
  if (m_hWnd != 0) platform::CapDestroyWindow(m_hWnd);
  // The handle stays: operations on a destroyed window are ignored by the service.
}

int CAVICapWnd::DriverConnect(int index) { return platform::CapDriverConnect(m_hWnd, index) ? 1 : 0; }

int CAVICapWnd::DriverDisconnect() {
  ClearRegistry();
  return platform::CapDriverDisconnect(m_hWnd) ? 1 : 0;
}

int CAVICapWnd::GetStatus(platform::CAPSTATUS* status, uint32_t size) {
  return platform::CapGetStatus(m_hWnd, status, size) ? 1 : 0;
}

int CAVICapWnd::GetAudioFormat(uint32_t* size, uint8_t** block) {
  *block = nullptr;
  *size = platform::CapGetAudioFormat(m_hWnd, nullptr, 0);
  if (*size == 0) return 0;
  *block = new uint8_t[*size]();
  return platform::CapGetAudioFormat(m_hWnd, reinterpret_cast<platform::WAVEFORMATEX*>(*block), *size) != 0 ? 1 : 0;
}

int CAVICapWnd::SetAudioFormat(const void* block, uint32_t size) {
  return platform::CapSetAudioFormat(m_hWnd, static_cast<const platform::WAVEFORMATEX*>(block), size) ? 1 : 0;
}

int CAVICapWnd::GetSequenceSetup(platform::CAPTUREPARMS* parms, uint32_t size) {
  return platform::CapGetSequenceSetup(m_hWnd, parms, size) ? 1 : 0;
}

int CAVICapWnd::SetSequenceSetup(const platform::CAPTUREPARMS* parms, uint32_t size) {
  return platform::CapSetSequenceSetup(m_hWnd, parms, size) ? 1 : 0;
}

int CAVICapWnd::SetStatusCallback() { return platform::CapSetCallbackOnStatus(m_hWnd, StatusCallback) ? 1 : 0; }
int CAVICapWnd::SetVideoStreamCallback() {
  return platform::CapSetCallbackOnVideoStream(m_hWnd, VideoStreamCallback) ? 1 : 0;
}
int CAVICapWnd::SetWaveStreamCallback() {
  return platform::CapSetCallbackOnWaveStream(m_hWnd, WaveStreamCallback) ? 1 : 0;
}
int CAVICapWnd::CaptureSequenceNoFile() { return platform::CapCaptureSequenceNoFile(m_hWnd) ? 1 : 0; }
int CAVICapWnd::CaptureStop() { return platform::CapCaptureStop(m_hWnd) ? 1 : 0; }

int CAVICapWnd::EnumerateDriver(int index, char name[260], char version[260]) {
  return platform::CapGetDriverDescription(index, name, 260, version, 260) ? 1 : 0;
}

int CAVICapWnd::StatusCallback(platform::CapHandle, int, const char*) { return 1; }

int CAVICapWnd::VideoStreamCallback(platform::CapHandle window, platform::VIDEOHDR* frame) {
  CAVICapWnd* wnd = FromHandle(window);
  if (!wnd) return 0;
  wnd->OnVideoStream(frame);
  GetCaptureStats().CountVideoFrame();
  return 1;
}

int CAVICapWnd::WaveStreamCallback(platform::CapHandle window, platform::WAVEHDR* block) {
  CAVICapWnd* wnd = FromHandle(window);
  if (!wnd) return 0;
  GetCaptureStats().CountAudioBlock();
  return wnd->OnWaveStream(block);
}
