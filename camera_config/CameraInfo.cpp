#include "camera_config/CameraInfo.h"

#include <cstdlib>
#include <cstring>

#include "infra/Logger.h"
#include "platform/FixedText.h"

namespace {

std::atomic<PostToMainWindowFn> g_postToMainWindow{nullptr};

void NotifyMainWindow() {
  if (PostToMainWindowFn post = g_postToMainWindow.load()) post(WM_REFRESH_STATUS, 0, 0);
}

using platform::CopyCut;

bool IsPlainHost(const char* text) {
  const size_t length = std::strlen(text);
  if (length == 0 || length > 31) return false;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

void SetMainWindowPoster(PostToMainWindowFn poster) { g_postToMainWindow.store(poster); }

std::string DefaultServerAddress() {
  const char* configured = std::getenv("VTCAM_SERVER_ADDRESS");
  if (configured == nullptr || configured[0] == '\0') return "127.0.0.1";
  if (!IsPlainHost(configured)) {
    Log("DefaultServerAddress ignores VTCAM_SERVER_ADDRESS=%.64s: not a host name of at most 31 characters",
        configured);
    return "127.0.0.1";
  }
  return configured;
}

void DefaultBridgeServer(std::string* host, std::string* port) {
  *host = DefaultServerAddress();
  *port = "8089";
  const char* configured = std::getenv("VTCAM_BRIDGE_SERVER");
  if (configured == nullptr || configured[0] == '\0') return;
  if (std::strcmp(configured, "off") == 0) {
    host->clear();
    return;
  }
  const std::string text(configured, strnlen(configured, 64));
  const size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  const std::string number = colon == std::string::npos ? "8089" : text.substr(colon + 1);
  const bool digits = !number.empty() && number.size() <= 7 && number.find_first_not_of("0123456789") == std::string::npos;
  if (!IsPlainHost(name.c_str()) || !digits) {
    Log("DefaultBridgeServer ignores VTCAM_BRIDGE_SERVER=%.64s: not host or host:port", configured);
    return;
  }
  *host = name;
  *port = number;
}

CCameraInfo::~CCameraInfo() = default;

void CCameraInfo::ResetToDefaults() {
  m_nAlarmStatus.store(0);
  m_nAudioEnable.store(0);
  const std::string server = DefaultServerAddress();
  std::lock_guard<std::mutex> hold(m_lock);
  CopyCut(m_ftpConfig.serverAddr, server.c_str());
  CopyCut(m_ftpConfig.userName, "qm41");
  CopyCut(m_ftpConfig.password, "580317");
  m_ftpConfig.port = 21;
  CopyCut(m_ftpConfig.remotePath, "./");
}

void CCameraInfo::SetAlarmStatus(int status) {
  if (status == 0 || status == 1) {
    m_nAlarmStatus.store(status);
  } else {
    m_nAlarmStatus.fetch_xor(1);
  }
  NotifyMainWindow();
}

void CCameraInfo::SetAudioEnable(int /*enable*/) {
  m_nAudioEnable.store(0);
  NotifyMainWindow();
}

void CCameraInfo::SetFtpConfig(const char* serverAddr, const char* userName, const char* password,
                               const char* remotePath, int port) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (serverAddr != nullptr) CopyCut(m_ftpConfig.serverAddr, serverAddr);
  if (userName != nullptr) CopyCut(m_ftpConfig.userName, userName);
  if (password != nullptr) CopyCut(m_ftpConfig.password, password);
  if (remotePath != nullptr) CopyCut(m_ftpConfig.remotePath, remotePath);
  if (port > 0) m_ftpConfig.port = static_cast<uint16_t>(port);
}

FTPConfig CCameraInfo::GetFtpConfig() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_ftpConfig;
}
