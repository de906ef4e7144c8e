#include "media/CameraRequestSession.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camera_config/CameraInfoMgr.h"
#include "infra/Logger.h"
#include "media/CameraChannels.h"
#include "media/HttpRequest.h"
#include "media/ViewerQueue.h"

namespace {

ICameraChannels* g_channels = nullptr;

constexpr int kMaxRequestBytes = 4096;

}  // namespace

void SetCameraChannels(ICameraChannels* channels) { g_channels = channels; }
ICameraChannels* GetCameraChannels() { return g_channels; }

CCameraRequestSession::CCameraRequestSession() { Bind(this); }

CCameraRequestSession::~CCameraRequestSession() {
  Retire();
  ForgetSnapshot(true);
}

int CCameraRequestSession::SendText(const char* action, const std::string& body) {
  const std::string response = BuildTextResponse(body);
  Log("[%d]Response %s [%s]", GetId(), action, response.c_str());
  return Send(response.data(), static_cast<int>(response.size()));
}

int CCameraRequestSession::ProcessRecvBuffer() {
  int length = 0;
  char* data = m_pRecvBuffer->GetData(&length);
  if (length <= 0 || length > kMaxRequestBytes) return 0;
  // The parameter search reads up to a terminating zero: work on a terminated copy.
  const std::string text(data, static_cast<size_t>(length));
  Log("[%d]CCameraRequestSession::ProcessRecvBuffer got %d bytes [%s]", GetId(), length, text.c_str());

  int offset = 0;
  while (offset < length) {
    const int result = HandleRequest(text.c_str(), offset, length - offset);
    if (result < 0) return 0;
    if (result == 2) break;
    if (result == 0) {
      // Incomplete: keep its bytes for the next receive to append to, but not the requests
      // already answered, which would be answered twice.
      if (offset > 0) m_pRecvBuffer->Consume(offset);
      return 1;
    }
    const char* next = std::strstr(text.c_str() + offset, "\r\n\r\n");
    if (result == kAnswerLater) {
      // The requests behind it wait in the buffer until the answer went out.
      m_pRecvBuffer->Consume(next ? static_cast<int>(next - text.c_str()) + 4 : length);
      return 1;
    }
    if (!next) break;
    offset = static_cast<int>(next - text.c_str()) + 4;
  }
  m_pRecvBuffer->Reset();
  return 1;
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
    case CameraRequest::kUnknown:
      return 1;
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
    case CameraRequest::kServerSettingPost: {
      Log("[%d]Got ACT_REQUEST_SERVER_SETTING from HTTP POST.", GetId());
      char server[32], user[32], pass[32], admin[32];
      if (!GetParam(params, "FTP_SERVER=", server, sizeof(server)) || !server[0]) return 0;
      GetParam(params, "FTP_USER=", user, sizeof(user));
      GetParam(params, "FTP_PASS=", pass, sizeof(pass));
      GetParam(params, "ADMIN_PASSWORD=", admin, sizeof(admin));
      if (camera) camera->SetFtpConfig(server, user, pass, "./", 21);
      char body[256];
      std::snprintf(body, sizeof(body),
                    "startTelnet=1&FTP_SERVER=%s&FTP_PORT=21&FTP_USER=%s&FTP_PASS=%s&ADMIN_PASSWORD=4QX2815K", server,
                    user, pass);
      SendText("ACT_REQUEST_SERVER_SETTING", body);
      return 1;
    }
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
  if (g_channels) g_channels->DetachViewer(m_nChannel, this);
  ForgetSnapshot(false);
  m_nChannel = 0;
  Bind(this);
  Log("[%d]CCameraRequestSession::OnDestroy", GetId());
  CIOCPServerSocket::OnDestroy();
}
