#include "media/CameraRequestSession.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camera_config/CameraInfoMgr.h"
#include "infra/Logger.h"
#include "media/AdminAuth.h"
#include "media/CameraChannels.h"
#include "media/HttpRequest.h"
#include "media/RequestGuard.h"
#include "media/RequestLogText.h"
#include "media/RequestReader.h"
#include "media/SettingText.h"
#include "media/StaticFiles.h"
#include "media/ViewerQueue.h"
#include "platform/ProgramDir.h"
#include "platform/Tick.h"

namespace {

ICameraChannels* g_channels = nullptr;

constexpr int kMaxRequestBytes = 4096;
constexpr char kTooLargeText[] = "the request does not fit the 4096-byte buffer";
// The stored FTP texts of the settings page.
constexpr size_t kSettingBytes = 31;

// A settings POST without Content-Length waits for its FTP_SERVER value, which may still be
// on its way.
bool AwaitsFtpServer(const char* request, int length) {
  int keyword = 0;
  if (MatchCameraRequest(request, length, &keyword) != CameraRequest::kServerSettingPost) return false;
  char server[2];
  return !GetParam(request + keyword, "FTP_SERVER=", server, sizeof(server)) || !server[0];
}

}  // namespace

void SetCameraChannels(ICameraChannels* channels) { g_channels = channels; }
ICameraChannels* GetCameraChannels() { return g_channels; }

CCameraRequestSession::CCameraRequestSession() { Bind(this); }

CCameraRequestSession::~CCameraRequestSession() {
  Retire();
  ForgetSnapshot(true);
}

int CCameraRequestSession::SendText(const char* action, const std::string& body, bool logResponse) {
  const std::string response = BuildTextResponse(body);
  if (logResponse) Log("[%d]Response %s [%s]", GetId(), action, response.c_str());
  return Send(response.data(), static_cast<int>(response.size()));
}

void CCameraRequestSession::LogReceived(const char* text, int length) {
  Log("[%d]CCameraRequestSession::ProcessRecvBuffer got %d bytes [%s]", GetId(), length,
      RequestLogText(text, length).c_str());
}

int CCameraRequestSession::ProcessRecvBuffer() {
  std::lock_guard<std::mutex> hold(m_requestLock);
  int length = 0;
  char* data = m_pRecvBuffer->GetData(&length);
  if (length <= 0 || length > kMaxRequestBytes) return 0;
  const uint32_t now = platform::GetTickCount();
  if (m_bFresh.load()) {
    const uint32_t seconds = GetConnectSeconds();
    m_requestSince.store(now - (seconds == kNotConnected ? 0 : seconds * 1000));
    m_bLogged = false;
    m_bFresh.store(false);
    RelievePoolPressure(this);
  }
  // The parameter search reads up to a terminating zero: work on a terminated copy.
  const std::string text(data, static_cast<size_t>(length));
  const int capacity = m_pRecvBuffer->GetCapacity();
  bool logged = false;
  int offset = 0;
  while (offset < length) {
    const char* request = text.c_str() + offset;
    const int rest = length - offset;
    const RequestExtent extent = MeasureRequest(request, rest, capacity);
    if (extent.kind == RequestExtent::kIncomplete) break;
    if (extent.kind == RequestExtent::kNotHttp) {
      // Not a request we can read: drop it and wait for the next one.
      if (!m_bLogged && !logged) LogReceived(request, rest);
      m_bLogged = true;
      offset = length;
      break;
    }
    if (extent.kind != RequestExtent::kComplete) {
      LogReceived(request, rest);
      Log("[%d]CCameraRequestSession closes the connection: %s", GetId(),
          extent.kind == RequestExtent::kTooLarge ? kTooLargeText : "the Content-Length of the POST is not a number");
      return 0;
    }
    if (!extent.hasContentLength && AwaitsFtpServer(request, rest)) break;
    if (!logged) LogReceived(request, rest);
    logged = true;
    m_bLogged = false;
    const std::string one(request, static_cast<size_t>(extent.length));
    int keyword = 0;
    const CameraRequest kind = MatchCameraRequest(one.c_str(), extent.length, &keyword);
    offset += extent.length;
    m_requestSince.store(now);
    if (RefusedWithoutAdmin(kind, one.c_str(), extent.length, one.c_str() + keyword)) continue;
    const int result = HandleRequest(one.c_str(), 0, extent.length);
    if (result < 0) return 0;
    if (result == kAnswerLater) {
      // The requests behind it wait in the buffer until the answer went out.
      m_pRecvBuffer->Consume(offset);
      m_partialHead.clear();
      m_bPartial.store(false);
      return 1;
    }
    if (kind == CameraRequest::kStreamFlv || kind == CameraRequest::kStreamRtp) m_bStreaming.store(true);
  }
  if (length - offset >= capacity) {
    // Held back whole, it fills the buffer: no receive could follow.
    LogReceived(text.c_str() + offset, length - offset);
    Log("[%d]CCameraRequestSession closes the connection: %s", GetId(), kTooLargeText);
    return 0;
  }
  if (offset >= length) {
    m_pRecvBuffer->Reset();
    m_partialHead.clear();
  } else {
    // Keep the unfinished request for the next receive to append to.
    if (offset > 0) m_pRecvBuffer->Consume(offset);
    m_partialHead.assign(text, static_cast<size_t>(offset),
                         static_cast<size_t>(std::min(length - offset, kRequestLogBytes)));
  }
  m_bPartial.store(offset < length);
  return 1;
}

bool CCameraRequestSession::RefusedWithoutAdmin(CameraRequest kind, const char* request, int length,
                                                const char* params) {
  const CAdminAuth& auth = CAdminAuth::Instance();
  if (!auth.Enabled()) return false;
  bool guarded = false;
  switch (kind) {
    case CameraRequest::kScheduleSetup: {
      char method[32];
      GetParam(params, "method=", method, sizeof(method));
      guarded = std::strcmp(method, "setAlarmStatus") == 0;
      break;
    }
    case CameraRequest::kServerSetting:
    case CameraRequest::kServerSettingPost: guarded = true; break;
    case CameraRequest::kStreamFlv:
    case CameraRequest::kStreamRtp:
    case CameraRequest::kSnapshot: guarded = auth.ProtectsStreams(); break;
    default: break;
  }
  if (!guarded || auth.Admits(std::string_view(request, static_cast<size_t>(length)))) return false;
  Log("[%d]Response 401: the request needs the admin password", GetId());
  Send(kUnauthorizedResponse, static_cast<int>(std::strlen(kUnauthorizedResponse)));
  return true;
}

void CCameraRequestSession::ProcessSettingsPost(const char* params) {
  Log("[%d]Got ACT_REQUEST_SERVER_SETTING from HTTP POST.", GetId());
  struct Field {
    const char* key;
    char raw[128];
    std::string text;
  } fields[] = {{"FTP_SERVER=", {}, {}}, {"FTP_USER=", {}, {}}, {"FTP_PASS=", {}, {}}};
  for (Field& field : fields) GetParam(params, field.key, field.raw, sizeof(field.raw));
  if (!fields[0].raw[0]) return;  // not answered, as without a server there is nothing to set
  const Field* refused = nullptr;
  SettingTextCheck check = SettingTextCheck::kOk;
  for (Field& field : fields) {
    const SettingTextCheck result = CutSettingText(field.raw, kSettingBytes, &field.text);
    if (result != SettingTextCheck::kOk && !refused) {
      refused = &field;
      check = result;
    }
  }
  CCameraInfo* camera = GetCameraInfoMgr().GetCameraInfo(0);
  if (refused) {
    Log("[%d]ACT_REQUEST_SERVER_SETTING refused: %.*s %s; the FTP settings stay as they were", GetId(),
        static_cast<int>(std::strlen(refused->key) - 1), refused->key,
        check == SettingTextCheck::kControlCharacter ? "holds a control character" : "is not UTF-8 text");
  } else if (camera) {
    camera->SetFtpConfig(fields[0].text.c_str(), fields[1].text.c_str(), fields[2].text.c_str(), "./", 21);
  }
  // The response carries the password, so it stays out of the log.
  SendText("ACT_REQUEST_SERVER_SETTING",
           "startTelnet=1&FTP_SERVER=" + fields[0].text + "&FTP_PORT=21&FTP_USER=" + fields[1].text +
               "&FTP_PASS=" + fields[2].text + "&ADMIN_PASSWORD=4QX2815K",
           false);
}

CCameraRequestSession::WaitState CCameraRequestSession::GetWaitState(uint32_t now) const {
  if (m_bClosingStalled.load()) return {Wait::kFree, 0};
  switch (GetState()) {
    case kAccepting: {
      const uint32_t seconds = GetConnectSeconds();
      if (seconds == kNotConnected) return {Wait::kFree, 0};
      return {Wait::kPartial, seconds * 1000};
    }
    case kConnected:
      if (m_bFresh.load() || m_bStreaming.load() || GetPending() > 0 || IsClosing() || IsReceiveHeld())
        return {Wait::kBusy, 0};
      return {m_bPartial.load() ? Wait::kPartial : Wait::kIdle, now - m_requestSince.load()};
    default: return {Wait::kBusy, 0};
  }
}

bool CCameraRequestSession::CloseStalled(uint32_t now, uint32_t minWaitMs, bool partialOnly, const char* why) {
  std::unique_lock<std::mutex> hold(m_requestLock, std::try_to_lock);
  if (!hold.owns_lock()) return false;
  if (m_bClosingStalled.load()) {
    // The shut-down should have ended the connection long ago: close it as maintenance would.
    if (now - m_stalledAt.load() >= kRequestLimitMs) CloseIfIdle();
    return false;
  }
  const uint32_t connection = m_connection.load();
  const WaitState state = GetWaitState(now);
  const bool waiting = state.wait == Wait::kPartial || (!partialOnly && state.wait == Wait::kIdle);
  if (!waiting || state.waitedMs < minWaitMs) return false;
  const bool silent = GetState() == kAccepting;
  {
    // Shut down, not closed: the connection's own completion then ends and re-arms it, in
    // order with its other completions. The count makes sure it is still the same one.
    std::lock_guard<std::mutex> guard(m_handleLock);
    const int fd = m_hSocket.load();
    if (fd == kInvalidSocket || m_connection.load() != connection) return false;
    m_stalledAt.store(now);
    m_bClosingStalled.store(true);
    shutdown(fd, SHUT_RDWR);
  }
  const std::string head = silent ? std::string() : RequestLogText(m_partialHead.data(), static_cast<int>(m_partialHead.size()));
  Log("[%d]CCameraRequestSession closes the connection: %s after %u ms [%s]", GetId(), why, state.waitedMs,
      head.c_str());
  return true;
}

int CCameraRequestSession::HandleRequest(const char* all, int offset, int length) {
  const char* request = all + offset;
  int keyword = 0;
  const CameraRequest kind = MatchCameraRequest(request, length, &keyword);
  const char* params = request + keyword;
  CCameraInfo* camera = GetCameraInfoMgr().GetCameraInfo(0);

  switch (kind) {
    case CameraRequest::kNotHttp:
      // Not a request we can read: drop what came and wait for the next one.
      return 2;
    case CameraRequest::kUnknown: {
      std::string file;
      const auto result = CStaticFiles(platform::ProgramDirectory() + "web").Respond({request, size_t(length)}, &file);
      if (result == CStaticFiles::Result::kServed) {
        Send(file.data(), static_cast<int>(file.size()));
        return 1;
      }
      if (result == CStaticFiles::Result::kRefused) Log("[%d]Response 404: not a file name of the viewer", GetId());
      Send(kNotFoundResponse, static_cast<int>(std::strlen(kNotFoundResponse)));
      return 1;
    }
    case CameraRequest::kStreamFlv:
    case CameraRequest::kStreamRtp: {
      Log("[%d]Got ACT_GET_DATA_STREAM from HTTP GET.\r\n", GetId());
      const bool flv = kind == CameraRequest::kStreamFlv;
      if (flv) Send(kStreamResponseHeader, static_cast<int>(std::strlen(kStreamResponseHeader)));
      m_nChannel = 0;
      SetSendStallLimit(static_cast<int>(ViewerQueueLimits::Program().stallMs));
      if (g_channels) g_channels->AttachViewer(this, flv ? "flv" : "rtp", m_nChannel);
      return 1;
    }
    case CameraRequest::kRunTime: {
      Log("[%d]Got ACT_GET_RUN_TIME from HTTP GET.", GetId());
      char body[128];
      std::snprintf(body, sizeof(body), "time = %d day, %d hr, %d min, %d sec; mac=000000000000", 0, 1, 23, 45);
      SendText("ACT_GET_RUN_TIME", body);
      return 1;
    }
    case CameraRequest::kScheduleSetup: {
      Log("[%d]Got ACT_GET_SCHEDULE_SETTUP from HTTP GET.", GetId());
      if (!camera) return -1;
      char method[32];
      char status[4];
      GetParam(params, "method=", method, sizeof(method));
      GetParam(params, "ALARM_STATUS=", status, sizeof(status));
      if (std::strcmp(method, "setAlarmStatus") == 0) camera->SetAlarmStatus(std::atoi(status));
      char body[64];
      std::snprintf(body, sizeof(body), "ALARM_STATUS=%d&AUDIO_ENABLE=%d", camera->GetAlarmStatus(),
                    camera->GetAudioEnable());
      SendText("ACT_GET_SCHEDULE_SETTUP", body);
      return 1;
    }
    case CameraRequest::kServerSetting: {
      Log("[%d]Got ACT_REQUEST_SERVER_SETTING from HTTP GET.", GetId());
      if (!camera) return -1;
      char enabled[2];
      GetParam(params, "A_Aenabled=", enabled, sizeof(enabled));
      if (enabled[0] == '0') camera->SetAudioEnable(0);
      else if (enabled[0] == '1') camera->SetAudioEnable(1);
      else camera->SetAudioEnable(-1);
      char body[64];
      std::snprintf(body, sizeof(body), "ALARM_STATUS=%d&AUDIO_ENABLE=%d", camera->GetAlarmStatus(),
                    camera->GetAudioEnable());
      SendText("ACT_REQUEST_SERVER_SETTING", body);
      return 1;
    }
    case CameraRequest::kSnapshot: {
      const bool qcif = RequestLineHas(request, length, keyword + 13, "qcif");
      Log("[%d]Got ACT_REQUEST_SNAPSHOT from HTTP GET. qcif=%d", GetId(), qcif ? 1 : 0);
      if (!g_channels) return -1;
      RequestSnapshot(qcif);
      return kAnswerLater;
    }
    case CameraRequest::kServerSettingPost:
      ProcessSettingsPost(params);
      return 1;
  }
  return 1;
}

int CCameraRequestSession::ResponseUsingFile(const char* file) {
  FILE* f = std::fopen(file, "rb");
  if (!f) return 0;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  const std::string header = BuildFileResponseHeader(static_cast<unsigned>(size < 0 ? 0 : size));
  Send(header.data(), static_cast<int>(header.size()));
  Log("[%d]ResponseUsingFile [%s] with header [%s]", GetId(), file, header.c_str());
  char block[4096];
  size_t n;
  while ((n = std::fread(block, 1, sizeof(block), f)) > 0) Send(block, static_cast<int>(n));
  std::fclose(f);
  return 1;
}

void CCameraRequestSession::OnDestroy() {
  m_connection.fetch_add(1);
  m_bStreaming.store(false);
  m_bPartial.store(false);
  m_bClosingStalled.store(false);
  m_bFresh.store(true);
  if (g_channels) g_channels->DetachViewer(m_nChannel, this);
  ForgetSnapshot(false);
  m_nChannel = 0;
  Bind(this);
  Log("[%d]CCameraRequestSession::OnDestroy", GetId());
  CIOCPServerSocket::OnDestroy();
}
