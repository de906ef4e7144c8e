#include "media/StreamConvertor.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "infra/Logger.h"
#include "media/ConvertorPort.h"
#include "media/ConvertorRegistry.h"
#include "media/FLVStreamDataBuffer.h"
#include "media/FileDispatcher.h"
#include "media/PacketStreamDataBuffer.h"
#include "media/StreamConvertorSession.h"
#include "platform/PointerText.h"
#include "platform/ProgramDir.h"
#include "platform/Tick.h"
#include "remote/ProcessRunner.h"

namespace {

// Converter command lines; every folder is the convertor directory (ending in "/"), which
// also holds the seed files made at start-up. The last number is the listener's port.
constexpr const char* kFlvLine =
    "\"%sffmpeg\" -y -r %d -s %s -pix_fmt yuyv422 -i \"%sseed.yuv\" \"%stemp.flv\" -lss lss://127.0.0.1:%d";
constexpr const char* kFlvAudioLine =
    "\"%sffmpeg\" -y -r %d -s %s -pix_fmt yuyv422 -i \"%sseed.yuv\" -ar 11025 -f u8 -ac 1 -i \"%sseed.s16le\" "
    "-acodec libfaac -ar 44100 \"%stemp.flv\" -lss lss://127.0.0.1:%d";
constexpr const char* kAacLine =
    "\"%sffmpeg\" -y -ar 11025 -f u8 -ac 1 -i \"%shh.s16le\" -acodec libfaac -ar 44100 -ac 2 temp.aac "
    "-lss lss://127.0.0.1:%d";
constexpr const char* k3gpLine =
    "\"%sffmpeg\" -y -r %d -s %s -pix_fmt yuyv422 -i \"%sseed.yuv\" -s cif \"%stemp.3gp\" -lss sls://127.0.0.1:%d";
constexpr const char* k3gpAudioLine =
    "\"%sffmpeg\" -y -r %d -s %s -pix_fmt yuyv422 -i \"%sseed.yuv\" -ar 11025 -f u8 -ac 1 -i \"%sseed.s16le\" "
    "-acodec libfaac -ar 44100 -s cif \"%stemp.3gp\" -lss sls://127.0.0.1:%d";
constexpr const char* kSnapshotLine = "\"%sffmpeg\" -y -s %s -pix_fmt yuyv422 -i \"%s\" %s \"%s\"";

constexpr uint32_t kSnapshotWaitMs = 10000;
// The 3GP lines are formatted into one byte less than the FLV lines.
constexpr size_t k3gpLineSize = 1023;

int Container(int type) { return (type >> 8) & 0xFF; }
int AudioField(int type) { return (type >> 16) & 0xFF; }
constexpr auto* Hex = &platform::LowAddress;

std::atomic<bool> g_convertorsStopping{false};

}  // namespace

const char* CStreamConvertor::ResolutionText(int resolutionIndex) {
  static const char* const kSizes[] = {"112x84", "160x120", "qcif", "cif", "640x480"};
  if (resolutionIndex < 0 || resolutionIndex >= static_cast<int>(sizeof(kSizes) / sizeof(kSizes[0]))) return "";
  return kSizes[resolutionIndex];
}

CStreamConvertor::CStreamConvertor(int type, int frameRate, int resolutionIndex)
    : m_nType(type), m_nFrameRate(frameRate), m_nResolutionIndex(resolutionIndex) {}

CStreamConvertor::~CStreamConvertor() {
  // No session may pair with or call into this object any more: drop the waiting keys,
  // then wait out every session's call in progress and unpair it.
  UnregisterKeys();
  CStreamConvertorSession::ForgetConvertorEverywhere(this);
  CStreamConvertorSession* video = nullptr;
  CStreamConvertorSession* audio = nullptr;
  {
    std::lock_guard<std::recursive_mutex> guard(m_sessionLock);
    video = m_pVideoSession;
    audio = m_pAudioSession;
    m_pVideoSession = m_pAudioSession = m_pClosingVideoSession = nullptr;
  }
  // Hard close: queued raw frames are cancelled, which releases the frame slots, and the
  // receive into the stream buffer is withdrawn before the buffer goes.
  for (CStreamConvertorSession* session : {audio, video}) {
    if (session != nullptr) HardClose(session);
  }
  // The own frames are waited for by their pool, after this body.
  // Packages still pinned by viewers' queued sends are freed with the buffer; the viewers'
  // own connections end with the channel, as the frame path does.
  delete m_pStream;
}

void CStreamConvertor::UnregisterKeys() {
  auto& registry = CConvertorRegistry::Instance();
  registry.Unregister(m_nProcessId, this);
  if (m_bAudioKeyRegistered) registry.Unregister(m_nProcessId | kAudioKeyBit, this);
}

void CStreamConvertor::HardClose(CStreamConvertorSession* session) {
  session->DestorySocket();
  session->Recycle();  // pooled: back to accepting at once
}

void* CStreamConvertor::RegisterProcess(uint32_t pid, bool withAudioKey) {
  // Keys of a previous process that never connected would otherwise stay forever.
  UnregisterKeys();
  auto& registry = CConvertorRegistry::Instance();
  m_nProcessId = pid;
  m_bAudioKeyRegistered = withAudioKey;
  void* last = registry.Register(pid, this);
  if (withAudioKey) last = registry.Register(pid | kAudioKeyBit, this);
  return last;
}

bool CStreamConvertor::StaysAtRest() {
  if (!m_bRestsUnwatched || m_nViewerCount.load(std::memory_order_relaxed) != 0) return false;
  if (!m_bResting.exchange(true)) Log("CStreamConvertor::Open no viewer, converter not started (stream=%x)", Hex(this));
  return true;
}

int CStreamConvertor::StartProcess(bool withAudioKey) {
  if (StaysAtRest()) return 0;
  uint32_t pid = 0;
  void* last = nullptr;
  {
    const CConvertorRegistry::StartScope starting(CConvertorRegistry::Instance());
    if (m_szCommandLine[0] != '\0') pid = RunProcess(m_szCommandLine, 0);
    last = RegisterProcess(pid, withAudioKey);
  }
  Log("CStreamConvertor::Open %s (pid=%d, convertor=%x, stream=%x)", m_szCommandLine, static_cast<int>(pid),
      Hex(last), Hex(this));
  std::lock_guard<std::recursive_mutex> guard(m_sessionLock);  // the capture thread paces under it
  m_framePacer.Start(m_nFrameRate);
  return pid != 0 ? 1 : 0;
}

int CStreamConvertor::Open() {
  if (m_pStream == nullptr) {
    m_pStream = new CFLVStreamDataBuffer();
    m_pStream->SetSize(kStreamCapacity, kStreamHeadroom);
  }
  const std::string& dir = platform::ConvertorDirectory();
  const char* folder = dir.c_str();
  const int port = static_cast<int>(GetConvertorListenPort());
  const char* size = ResolutionText(m_nResolutionIndex);
  m_szCommandLine[0] = '\0';
  if (Container(m_nType) == kContainerFLV && AudioField(m_nType) == 0) {
    snprintf(m_szCommandLine, sizeof(m_szCommandLine), kFlvLine, folder, m_nFrameRate, size, folder, folder, port);
  } else if (Container(m_nType) == kContainerFLV && AudioField(m_nType) == kAudioWith) {
    snprintf(m_szCommandLine, sizeof(m_szCommandLine), kFlvAudioLine, folder, m_nFrameRate, size, folder, folder,
             folder, port);
  } else if (Container(m_nType) == kContainerAAC) {
    snprintf(m_szCommandLine, sizeof(m_szCommandLine), kAacLine, folder, folder, port);
  }
  return StartProcess(m_nType >= 0x20000 && m_nType < 0x30000);
}

int CStreamConvertor::OnConvertedData(char* data, int length) {
  std::lock_guard<std::mutex> guard(m_streamLock);
  if (m_pStream == nullptr) return 1;
  const int result = m_pStream->ParseReceived(data, length);
  if (result == -1) return 0;
  if (result != 1) return 1;
  const int audio = AudioField(m_nType);
  if (audio == 0 || audio == kAudioWith) {
    std::lock_guard<std::recursive_mutex> viewerGuard(m_viewerLock);
    // A viewer's send may end its connection and detach it (or, in theory, another viewer)
    // from inside SendLive: walk a snapshot and skip whoever left meanwhile.
    std::vector<CFileDispatcher*> viewers(m_viewers.begin(), m_viewers.end());
    for (CFileDispatcher* viewer : viewers) {
      if (m_viewers.count(viewer) != 0) viewer->SendLive(m_pStream);
    }
  }
  m_nConvertedBytes.fetch_add(static_cast<uint32_t>(length), std::memory_order_relaxed);
  return 1;
}

StreamPackage* CStreamConvertor::GetCurrentPackage() {
  std::lock_guard<std::recursive_mutex> guard(m_sessionLock);
  if (m_pVideoSession == nullptr || m_pStream == nullptr) return nullptr;
  return m_pStream->GetCurrentPackage();
}

CStreamDataBuffer* CStreamConvertor::GetStream(uint32_t sessionKey) {
  return sessionKey > kAudioKeyBit ? nullptr : m_pStream;
}

CStreamConvertorSession* CStreamConvertor::VideoSession() {
  std::lock_guard<std::recursive_mutex> guard(m_sessionLock);
  return m_pVideoSession;
}

CStreamConvertorSession* CStreamConvertor::AudioSession() {
  std::lock_guard<std::recursive_mutex> guard(m_sessionLock);
  return m_pAudioSession;
}

void CStreamConvertor::AttachSession(CStreamConvertorSession* session, uint32_t sessionKey) {
  std::lock_guard<std::recursive_mutex> guard(m_sessionLock);
  if (sessionKey > kAudioKeyBit) {
    m_pAudioSession = session;
  } else {
    m_pVideoSession = session;
  }
}

int CStreamConvertor::ConvertSourceVideoData(const char* data, int length) {
  return SendVideo(data, length, nullptr);
}

int CStreamConvertor::ConvertSourceVideoFrame(RawFrame* frame) {
  if (frame == nullptr) return 0;
  return SendVideo(frame->data.get(), frame->length, frame);
}

int CStreamConvertor::SendVideo(const char* data, int length, RawFrame* shared) {
  if (data == nullptr || length <= 0) return 0;
  if (m_bRestsUnwatched && Rests()) return 1;
  std::lock_guard<std::recursive_mutex> guard(m_sessionLock);
  CStreamConvertorSession* video = m_pVideoSession;
  if (video == nullptr) return 0;
  const int pending = video->GetPending();
  if (pending > kMaxPendingSends) {
    LogAtLevel(LOG_DEBUG, "CStreamConvertor::ConvertSourceVideoData Traffic Jam. NOT Send @%x %d bytes.", Hex(data),
               length);
    return 0;
  }
  // A frame that arrives after a long pause (capture stopped and started again) would be
  // repeated for the whole gap; no more repeats than the send queue may hold.
  const int count = std::min(m_framePacer.Next(platform::GetTickCount()), kMaxPendingSends + 1);
  if (count > 0) {
    RawFrame* frame = shared != nullptr ? shared : m_ownFrames.Copy(data, length);
    if (frame == nullptr) {
      // Every own frame is still pinned by sends of a connection that is going away.
      LogAtLevel(LOG_DEBUG, "CStreamConvertor::ConvertSourceVideoData Traffic Jam. NOT Send @%x %d bytes.",
                 Hex(data), length);
      return 0;
    }
    for (int i = 0; i < count; ++i) {
      if (video->Send(frame->data.get(), length, frame) == 0) {
        Log("CStreamConvertor::ConvertSourceVideoData Send failed. restart all sessions.");
        RestartSessions();
        return 0;
      }
    }
  }
  LogAtLevel(LOG_DEBUG, "CStreamConvertor::ConvertSourceVideoData Send(%d) @%x %d bytes. pending=%d", count, Hex(data),
             length, pending);
  return 1;
}

bool CStreamConvertor::Rests() {
  const bool watched = m_nViewerCount.load(std::memory_order_relaxed) != 0;
  if (!watched) {
    // Also a converter started just before the last viewer left, once it connected.
    if (!m_bResting.exchange(true) || VideoSession() != nullptr) StopConverter();
    return true;
  }
  if (g_convertorsStopping.load()) return m_bResting.load();  // nothing would accept a new converter
  if (!m_bResting.exchange(false)) return false;
  Log("CStreamConvertor::ConvertSourceVideoData a viewer came, converter started again (convertor=%x)", Hex(this));
  Open();
  return false;
}

void CStreamConvertor::StopConverter() {
  std::vector<CStreamConvertorSession*> sessions;
  {
    std::lock_guard<std::recursive_mutex> guard(m_sessionLock);
    for (CStreamConvertorSession* session : {m_pVideoSession, m_pAudioSession, m_pClosingVideoSession})
      if (session != nullptr) sessions.push_back(session);
    m_pVideoSession = m_pAudioSession = m_pClosingVideoSession = nullptr;
    UnregisterKeys();  // a converter still on its way in is refused when it greets
  }
  Log("CStreamConvertor::ConvertSourceVideoData no viewer, converter stopped (convertor=%x)", Hex(this));
  // Unpaired first, so neither their end nor a late receive reaches this convertor; the hard
  // close withdraws the receive into the stream buffer before its parser starts afresh.
  for (CStreamConvertorSession* session : sessions) {
    session->ForgetConvertor(this);
    HardClose(session);
  }
  std::lock_guard<std::mutex> streamGuard(m_streamLock);
  if (m_pStream != nullptr) m_pStream->ResetParser();
}

int CStreamConvertor::ConvertSourceAudioData(const char* data, int length) {
  std::lock_guard<std::recursive_mutex> guard(m_sessionLock);
  CStreamConvertorSession* audio = m_pAudioSession;
  if (audio == nullptr || data == nullptr || length <= 0) return 0;
  // Copied: the block's memory belongs to the capture source once the callback returns.
  if (audio->Send(data, length) == 0) {
    Log("CStreamConvertor::ConvertSourceAudioData Send failed. restart all sessions.");
    RestartSessions();
    return 0;
  }
  LogAtLevel(LOG_DEBUG, "CStreamConvertor::ConvertSourceAudioData Send @%x %d bytes.", Hex(data), length);
  return 1;
}

void CStreamConvertor::RestartSessions() {
  std::lock_guard<std::recursive_mutex> guard(m_sessionLock);
  CStreamConvertorSession* video = m_pVideoSession;
  // Remembered first: if the close has to wait for queued sends, the session's end comes
  // later, when it is no longer our video session, and must still start a new converter.
  m_pClosingVideoSession = video;
  if (m_pAudioSession != nullptr) m_pAudioSession->Close();
  if (video != nullptr) video->Close();
  // A video session closed at once has already reopened the converter; sessions of the new
  // process cannot have paired meanwhile (they need this lock).
  if (m_pVideoSession == video) m_pVideoSession = nullptr;
  m_pAudioSession = nullptr;
}

void SetConvertorsStopping(bool stopping) { g_convertorsStopping.store(stopping); }

void CStreamConvertor::OnSessionClosed(CStreamConvertorSession* session) {
  std::lock_guard<std::recursive_mutex> guard(m_sessionLock);
  if (session == nullptr) return;
  if (session == m_pAudioSession) {
    m_pAudioSession = nullptr;
    Log("CStreamConvertor::OnSessionClosed audio session closed!");
    return;
  }
  if (session != m_pVideoSession && session != m_pClosingVideoSession) return;
  m_pVideoSession = nullptr;
  m_pAudioSession = nullptr;
  m_pClosingVideoSession = nullptr;
  if (g_convertorsStopping.load()) {
    Log("CStreamConvertor::OnSessionClosed program stopping, not opened again.");
    return;
  }
  Log("CStreamConvertor::OnSessionClosed open again!");
  {
    std::lock_guard<std::mutex> streamGuard(m_streamLock);
    if (m_pStream != nullptr) m_pStream->ResetParser();
  }
  Open();
}

void CStreamConvertor::AddViewer(CFileDispatcher* viewer) {
  std::lock_guard<std::recursive_mutex> guard(m_viewerLock);
  m_viewers.insert(viewer);
  m_nViewerCount.store(m_viewers.size(), std::memory_order_relaxed);
}

void CStreamConvertor::RemoveViewer(CFileDispatcher* viewer) {
  std::lock_guard<std::recursive_mutex> guard(m_viewerLock);
  m_viewers.erase(viewer);
  m_nViewerCount.store(m_viewers.size(), std::memory_order_relaxed);
}

size_t CStreamConvertor::ViewerCount() {
  std::lock_guard<std::recursive_mutex> guard(m_viewerLock);
  return m_viewers.size();
}

int CStreamConvertor::GetHistoryClip(uint32_t startTick, uint32_t endTick, const char* file) {
  if (m_pStream == nullptr) return 0;
  return m_pStream->GetFLVHistoryClip(startTick, endTick, file);
}

int CStreamConvertor::ConvertYUV2JPG(int resolutionIndex, const char* inputFile, const char* outputFile,
                                     const char* outputSize) {
  char option[64] = {};
  if (outputSize != nullptr && outputSize[0] != '\0') snprintf(option, sizeof(option), "-s %s", outputSize);
  char command[1024];
  snprintf(command, sizeof(command), kSnapshotLine, platform::ConvertorDirectory().c_str(),
           ResolutionText(resolutionIndex), inputFile != nullptr ? inputFile : "",
           option, outputFile != nullptr ? outputFile : "");
  // Killed when overdue, so snapshot converters never pile up behind a slow one.
  RunProcess(command, kSnapshotWaitMs, "", OnWaitOver::kKill);
  Log("ConvertYUV2JPG cmd=%s", command);
  return 0;
}

C3GPStreamConvertor::C3GPStreamConvertor(int type, int frameRate, int resolutionIndex)
    : CStreamConvertor(type, frameRate, resolutionIndex) {}

C3GPStreamConvertor::~C3GPStreamConvertor() = default;

int C3GPStreamConvertor::Open() {
  if (m_pStream == nullptr) {
    m_pStream = new CPacketStreamDataBuffer();
    m_pStream->SetSize(kStreamCapacity, kStreamHeadroom);
  }
  const std::string& dir = platform::ConvertorDirectory();
  const char* folder = dir.c_str();
  const int port = static_cast<int>(GetConvertorListenPort());
  const char* size = ResolutionText(m_nResolutionIndex);
  if (m_nType > 0xFFFF) {
    snprintf(m_szCommandLine, k3gpLineSize, k3gpAudioLine, folder, m_nFrameRate, size, folder, folder, folder, port);
  } else {
    snprintf(m_szCommandLine, k3gpLineSize, k3gpLine, folder, m_nFrameRate, size, folder, folder, port);
  }
  return StartProcess(m_nType >= 0x20000 && m_nType < 0x30000);
}
