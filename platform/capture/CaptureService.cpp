#include "platform/capture/CaptureService.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "infra/Logger.h"
#include "platform/FixedText.h"
#include "platform/Thread.h"
#include "platform/capture/CaptureBackend.h"
#include "platform/capture/CaptureSelection.h"
#include "platform/capture/CaptureStopSignal.h"
#include "platform/capture/FileSource.h"
#include "platform/capture/TestSource.h"
#include "platform/capture/V4L2Source.h"

namespace platform {
namespace {

using capture::CaptureSample;
using capture::CCaptureBackend;
using capture::CCaptureSource;
using capture::ReadResult;

std::unique_ptr<CCaptureBackend> MakeBackend() {
  const char* text = std::getenv("VTCAM_CAPTURE");
  capture::CaptureSelection selection;
  std::string error;
  if (!capture::ParseCaptureSelection(text, &selection, &error)) {
    Log("CaptureService VTCAM_CAPTURE=\"%s\" not understood (%s); no capture drivers\n", text, error.c_str());
    return nullptr;
  }
  switch (selection.kind) {
    case capture::CaptureSourceKind::Test:
      return std::make_unique<capture::CTestBackend>(selection.test);
    case capture::CaptureSourceKind::File:
      return std::make_unique<capture::CFileBackend>(selection.filePath);
    case capture::CaptureSourceKind::V4L2:
      break;
  }
  return std::make_unique<capture::CV4L2Backend>();
}

void CopyText(const std::string& text, char* out, int size) {
  if (size > 0) platform::CopyCut(out, static_cast<size_t>(size), text);
}

WAVEFORMATEX SourceAudioFormat() {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = 1;
  f.nSamplesPerSec = capture::kAudioSampleRate;
  f.nAvgBytesPerSec = capture::kAudioSampleRate;
  f.nBlockAlign = 1;
  f.wBitsPerSample = 8;
  f.cbSize = 0;
  return f;
}

CAPTUREPARMS DefaultParms(const CCaptureSource& source) {
  CAPTUREPARMS p{};
  p.dwRequestMicroSecPerFrame = source.MicroSecPerFrame();
  p.wPercentDropForError = 10;
  p.wNumVideoRequested = 4;
  p.fCaptureAudio = source.HasAudio() ? 1 : 0;
  p.wNumAudioRequested = 4;
  p.vKeyAbort = 0x1B;  // escape
  p.fAbortLeftMouse = 1;
  p.fAbortRightMouse = 1;
  p.wStepCaptureAverageFrames = 3;
  p.dwAudioBufferSize = capture::kAudioSampleRate / 10;
  return p;
}

// One capture context ("window"). The UI-side state is guarded by `lock`; the capture
// thread reads only the callbacks (atomics), the counters (atomics) and its own copies.
struct CaptureContext {
  CapHandle handle = 0;
  int x = 0, y = 0, width = 0, height = 0, id = 0;

  std::mutex lock;
  std::shared_ptr<CCaptureSource> source;
  int driverIndex = -1;
  WAVEFORMATEX audioFormat{};
  CAPTUREPARMS parms{};
  std::thread thread;
  std::thread::id threadId;

  capture::CCaptureStopSignal stop;
  std::atomic<bool> capturing{false};
  std::atomic<CapStatusCallback> onStatus{nullptr};
  std::atomic<CapVideoCallback> onVideo{nullptr};
  std::atomic<CapWaveCallback> onWave{nullptr};
  std::atomic<uint32_t> framesThisRun{0};
  std::atomic<uint32_t> droppedThisRun{0};
  std::atomic<uint32_t> waveSamplesThisRun{0};
  std::atomic<uint32_t> elapsedMs{0};

  // Reached only when the table lets go of a context that was never stopped (process exit).
  ~CaptureContext() {
    if (!thread.joinable()) return;
    stop.Raise();
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
};

std::mutex g_tableLock;
std::map<CapHandle, std::shared_ptr<CaptureContext>> g_contexts;
CapHandle g_nextHandle = 1;

std::shared_ptr<CaptureContext> Find(CapHandle handle) {
  std::lock_guard<std::mutex> guard(g_tableLock);
  auto it = g_contexts.find(handle);
  return it == g_contexts.end() ? nullptr : it->second;
}

void SendStatus(CaptureContext& ctx, int id, const char* text) {
  if (CapStatusCallback cb = ctx.onStatus.load()) cb(ctx.handle, id, text);
}

// The body of "tCapture<n>". The thread's closure holds its own references to both, so a
// context destroyed or disconnected from inside a callback lives until the thread is done.
void CaptureThread(const std::shared_ptr<CaptureContext>& ctx, const std::shared_ptr<CCaptureSource>& source,
                   bool wantAudio) {
  SendStatus(*ctx, IDS_CAP_BEGIN, "Capture Start");
  if (!source->StartStreaming()) {
    Log("CaptureService::CaptureThread window %d: the source did not start\n", ctx->handle);
  } else {
    for (;;) {
      CaptureSample sample;
      uint32_t dropped = 0;
      ReadResult result = source->Read(&sample, wantAudio, ctx->stop, &dropped);
      if (dropped != 0) ctx->droppedThisRun.fetch_add(dropped);
      if (result == ReadResult::Stopped) break;
      if (result == ReadResult::Failed) {
        Log("CaptureService::CaptureThread window %d: source failed after %u frames, capture ended\n", ctx->handle,
            ctx->framesThisRun.load());
        break;
      }
      ctx->elapsedMs.store(sample.timeMs);
      if (sample.kind == CaptureSample::Kind::Video) {
        VIDEOHDR hdr{sample.data, sample.length, sample.length, sample.timeMs, VHDR_DONE | VHDR_KEYFRAME};
        ctx->framesThisRun.fetch_add(1);
        if (CapVideoCallback cb = ctx->onVideo.load()) cb(ctx->handle, &hdr);
      } else {
        WAVEHDR hdr{sample.data, sample.length, sample.length, WHDR_DONE};
        ctx->waveSamplesThisRun.fetch_add(sample.length);
        if (CapWaveCallback cb = ctx->onWave.load()) cb(ctx->handle, &hdr);
      }
      if (ctx->stop.IsRaised()) break;
    }
    source->StopStreaming();
  }
  SendStatus(*ctx, IDS_CAP_END, "Capture End");
  ctx->capturing.store(false);
}

// Takes the capture thread out of the context (caller holds ctx.lock). The caller joins the
// returned thread after dropping the lock, so a callback that calls back into the service
// cannot deadlock against it. On the capture thread itself the thread is detached instead.
std::thread TakeThreadForStop(CaptureContext& ctx) {
  ctx.stop.Raise();
  std::thread t = std::move(ctx.thread);
  if (t.joinable() && t.get_id() == std::this_thread::get_id()) {
    t.detach();
    return std::thread();
  }
  return t;
}

bool StopCapture(const std::shared_ptr<CaptureContext>& ctx) {
  std::thread t;
  bool wasRunning;
  {
    std::lock_guard<std::mutex> guard(ctx->lock);
    wasRunning = ctx->capturing.load() && !ctx->stop.IsRaised();
    if (!ctx->thread.joinable()) return false;
    t = TakeThreadForStop(*ctx);
  }
  if (t.joinable()) t.join();
  return wasRunning;
}

bool Disconnect(const std::shared_ptr<CaptureContext>& ctx) {
  StopCapture(ctx);
  std::lock_guard<std::mutex> guard(ctx->lock);
  if (!ctx->source) return false;
  // A capture thread still running here was stopped from its own callback; it keeps its own
  // reference to the source and releases it when it ends.
  ctx->source.reset();
  ctx->driverIndex = -1;
  return true;
}

}  // namespace

bool CapGetDriverDescription(int index, char* name, int nameSize, char* version, int versionSize) {
  if (index < 0 || index >= capture::kMaxDrivers) return false;
  std::unique_ptr<CCaptureBackend> backend = MakeBackend();
  if (!backend) return false;
  std::string driverName;
  std::string driverVersion;
  if (!backend->Describe(index, &driverName, &driverVersion)) return false;
  CopyText(driverName, name, nameSize);
  CopyText(driverVersion, version, versionSize);
  return true;
}

CapHandle CapCreateCaptureWindow(int x, int y, int width, int height, int id) {
  auto ctx = std::make_shared<CaptureContext>();
  if (!ctx->stop.IsValid()) {
    LogWithLastError("CaptureService::CreateCaptureWindow no stop event");
    return 0;
  }
  ctx->x = x;
  ctx->y = y;
  ctx->width = width;
  ctx->height = height;
  ctx->id = id;
  std::lock_guard<std::mutex> guard(g_tableLock);
  ctx->handle = g_nextHandle++;
  g_contexts[ctx->handle] = ctx;
  return ctx->handle;
}

void CapDestroyWindow(CapHandle handle) {
  std::shared_ptr<CaptureContext> ctx;
  {
    std::lock_guard<std::mutex> guard(g_tableLock);
    auto it = g_contexts.find(handle);
    if (it == g_contexts.end()) return;
    ctx = it->second;
    g_contexts.erase(it);
  }
  Disconnect(ctx);
}

bool CapDriverConnect(CapHandle handle, int index) {
  auto ctx = Find(handle);
  if (!ctx || index < 0 || index >= capture::kMaxDrivers) return false;
  std::lock_guard<std::mutex> guard(ctx->lock);
  if (ctx->source) {
    Log("CaptureService::DriverConnect window %d already has driver %d\n", handle, ctx->driverIndex);
    return false;
  }
  std::unique_ptr<CCaptureBackend> backend = MakeBackend();
  if (!backend) return false;
  std::unique_ptr<CCaptureSource> source = backend->Open(index);
  if (!source) return false;
  ctx->parms = DefaultParms(*source);
  ctx->audioFormat = SourceAudioFormat();
  ctx->source = std::move(source);
  ctx->driverIndex = index;
  return true;
}

bool CapDriverDisconnect(CapHandle handle) {
  auto ctx = Find(handle);
  return ctx && Disconnect(ctx);
}

bool CapGetStatus(CapHandle handle, CAPSTATUS* status, uint32_t size) {
  auto ctx = Find(handle);
  if (!ctx || status == nullptr || size == 0) return false;
  std::lock_guard<std::mutex> guard(ctx->lock);
  if (!ctx->source) return false;
  CAPSTATUS s{};
  s.uiImageWidth = static_cast<uint32_t>(ctx->source->Width());
  s.uiImageHeight = static_cast<uint32_t>(ctx->source->Height());
  s.fLiveWindow = 0;
  s.fAudioHardware = ctx->source->HasAudio() ? 1 : 0;
  s.dwCurrentVideoFrame = ctx->framesThisRun.load();
  s.dwCurrentVideoFramesDropped = ctx->droppedThisRun.load();
  s.dwCurrentWaveSamples = ctx->waveSamplesThisRun.load();
  s.dwCurrentTimeElapsedMS = ctx->elapsedMs.load();
  s.fCapturingNow = ctx->capturing.load() ? 1 : 0;
  s.wNumVideoAllocated = ctx->parms.wNumVideoRequested;
  s.wNumAudioAllocated = s.fAudioHardware ? ctx->parms.wNumAudioRequested : 0;
  std::memcpy(status, &s, std::min<uint32_t>(size, sizeof s));
  return true;
}

uint32_t CapGetAudioFormat(CapHandle handle, WAVEFORMATEX* format, uint32_t size) {
  auto ctx = Find(handle);
  if (!ctx) return 0;
  std::lock_guard<std::mutex> guard(ctx->lock);
  if (!ctx->source || !ctx->source->HasAudio()) return 0;
  if (format == nullptr) return sizeof(WAVEFORMATEX);
  uint32_t n = std::min<uint32_t>(size, sizeof(WAVEFORMATEX));
  std::memcpy(format, &ctx->audioFormat, n);
  return n;
}

bool CapSetAudioFormat(CapHandle handle, const WAVEFORMATEX* format, uint32_t size) {
  auto ctx = Find(handle);
  if (!ctx || format == nullptr || size < 16) return false;
  WAVEFORMATEX wanted{};
  std::memcpy(&wanted, format, std::min<uint32_t>(size, sizeof wanted));
  std::lock_guard<std::mutex> guard(ctx->lock);
  if (!ctx->source || !ctx->source->HasAudio() || ctx->capturing.load()) return false;
  const WAVEFORMATEX have = SourceAudioFormat();
  if (wanted.wFormatTag != have.wFormatTag || wanted.nChannels != have.nChannels ||
      wanted.nSamplesPerSec != have.nSamplesPerSec || wanted.wBitsPerSample != have.wBitsPerSample ||
      wanted.nBlockAlign != have.nBlockAlign || wanted.nAvgBytesPerSec != have.nAvgBytesPerSec ||
      wanted.cbSize != 0) {
    Log("CaptureService::SetAudioFormat window %d: only 8-bit mono PCM at 11025 Hz is produced "
        "(asked tag %u, %u channels, %u Hz, %u bits)\n",
        handle, wanted.wFormatTag, wanted.nChannels, wanted.nSamplesPerSec, wanted.wBitsPerSample);
    return false;
  }
  ctx->audioFormat = wanted;
  return true;
}

bool CapGetSequenceSetup(CapHandle handle, CAPTUREPARMS* parms, uint32_t size) {
  auto ctx = Find(handle);
  if (!ctx || parms == nullptr || size == 0) return false;
  std::lock_guard<std::mutex> guard(ctx->lock);
  if (!ctx->source) return false;
  std::memcpy(parms, &ctx->parms, std::min<uint32_t>(size, sizeof(CAPTUREPARMS)));
  return true;
}

bool CapSetSequenceSetup(CapHandle handle, const CAPTUREPARMS* parms, uint32_t size) {
  auto ctx = Find(handle);
  if (!ctx || parms == nullptr || size < sizeof(uint32_t)) return false;
  std::lock_guard<std::mutex> guard(ctx->lock);
  if (!ctx->source) return false;
  std::memcpy(&ctx->parms, parms, std::min<uint32_t>(size, sizeof(CAPTUREPARMS)));
  return true;
}

bool CapSetCallbackOnStatus(CapHandle handle, CapStatusCallback callback) {
  auto ctx = Find(handle);
  if (!ctx) return false;
  ctx->onStatus.store(callback);
  return true;
}

bool CapSetCallbackOnVideoStream(CapHandle handle, CapVideoCallback callback) {
  auto ctx = Find(handle);
  if (!ctx) return false;
  ctx->onVideo.store(callback);
  return true;
}

bool CapSetCallbackOnWaveStream(CapHandle handle, CapWaveCallback callback) {
  auto ctx = Find(handle);
  if (!ctx) return false;
  ctx->onWave.store(callback);
  return true;
}

bool CapCaptureSequenceNoFile(CapHandle handle) {
  auto ctx = Find(handle);
  if (!ctx) return false;
  std::thread finished;
  {
    std::lock_guard<std::mutex> guard(ctx->lock);
    if (!ctx->source) return false;
    if (ctx->capturing.load()) return false;
    // A previous run that ended on its own (source failure) is reaped here.
    finished = std::move(ctx->thread);
  }
  if (finished.joinable()) {
    if (finished.get_id() == std::this_thread::get_id()) {
      finished.detach();
    } else {
      finished.join();
    }
  }
  std::lock_guard<std::mutex> guard(ctx->lock);
  if (!ctx->source || ctx->capturing.load() || ctx->thread.joinable()) return false;
  ctx->stop.Clear();
  ctx->framesThisRun.store(0);
  ctx->droppedThisRun.store(0);
  ctx->waveSamplesThisRun.store(0);
  ctx->elapsedMs.store(0);
  ctx->capturing.store(true);
  const bool wantAudio = ctx->parms.fCaptureAudio != 0 && ctx->source->HasAudio();
  try {
    ctx->thread = StartNamedThread("tCapture" + std::to_string(ctx->driverIndex),
                                   [ctx, source = ctx->source, wantAudio] { CaptureThread(ctx, source, wantAudio); });
  } catch (const std::system_error& e) {
    ctx->capturing.store(false);
    Log("CaptureService::CaptureSequenceNoFile window %d: no capture thread (%s)\n", handle, e.what());
    return false;
  }
  return true;
}

bool CapCaptureStop(CapHandle handle) {
  auto ctx = Find(handle);
  return ctx && StopCapture(ctx);
}

}  // namespace platform
