#include "remote/HttpRequestMgr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera_config/CameraInfoMgr.h"
#include "infra/Logger.h"
#include "infra/MD5Digest.h"
#include "remote/HostIdentity.h"
#include "remote/WebCamServiceHttpRequestSocket.h"

namespace {

constexpr size_t kUrlSize = 1024;
constexpr const char* kServicePath = "/monitor/services/WebCamService";

bool IsLetterOrDigit(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The dialogs limit user names to 20, passwords to 32, mobile numbers to 11 and camera
// names to 32 characters; anything longer is cut so that the URL always fits its buffer.
std::string Cut(const std::string& text, size_t limit) { return text.size() > limit ? text.substr(0, limit) : text; }

}  // namespace

CHttpRequestMgr& GetHttpRequestMgr() {
  // Never destroyed: completion threads may still be finishing with its sockets at exit.
  static CHttpRequestMgr* const instance = new CHttpRequestMgr();
  return *instance;
}

std::string UrlEncode(const char* text, unsigned /*codePage*/) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  if (text == nullptr) return out;
  out.reserve(std::strlen(text) * 3);
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    const unsigned char c = *p;
    if (IsLetterOrDigit(c)) {
      out += static_cast<char>(c);
    } else if (c == ' ' || (c >= '\t' && c <= '\r')) {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string QueryEscape(const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  if (text == nullptr) return out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    const unsigned char c = *p;
    if (c <= ' ' || c >= 0x7F || c == '&' || c == '#' || c == '%' || c == '+') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string MakeMd5Key(time_t utcNow, const char* serialId) {
  struct tm utc{};
  gmtime_r(&utcNow, &utc);
  char date[32];
  std::snprintf(date, sizeof(date), "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
  CMD5Digest md5;
  md5.Update(date, -1);
  if (serialId != nullptr && serialId[0] != 0) md5.Update(serialId, -1);
  md5.Update(kMd5KeySalt, -1);
  return md5.GetHexDigest();
}

std::string CHttpRequestMgr::ServiceHost() {
  std::string host = GetCameraInfoMgr().GetServerAddress();
  if (const char* port = std::getenv("VTCAM_WEBSERVICE_PORT"); port != nullptr && port[0] != 0) {
    char* end = nullptr;
    const long value = std::strtol(port, &end, 10);
    if (*end == 0 && value > 0 && value < 65536) host += ":" + std::to_string(value);
  }
  return host;
}

void CHttpRequestMgr::SetActiveWindow(CWnd* wnd) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_activeWindow = wnd;
}

CWnd* CHttpRequestMgr::GetActiveWindow() const {
  std::lock_guard<std::mutex> guard(const_cast<std::mutex&>(m_lock));
  return m_activeWindow;
}

void CHttpRequestMgr::ForgetWindow(CWnd* wnd) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_activeWindow == wnd) m_activeWindow = nullptr;
  for (CWebCamServiceHttpRequestSocket* socket : m_made) socket->ForgetWindow(wnd);
}

CWebCamServiceHttpRequestSocket* CHttpRequestMgr::GetRequestSocket() {
  if (CIOCPClientSocket* reused = GetReuseSession()) return static_cast<CWebCamServiceHttpRequestSocket*>(reused);
  auto* socket = new CWebCamServiceHttpRequestSocket();
  socket->SetRegistry(this);
  socket->StampTimestamp();
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_made.push_back(socket);
  }
  AddInUse(socket);
  return socket;
}

void CHttpRequestMgr::Issue(CWebCamServiceHttpRequestSocket* socket, const char* url, uint32_t message) {
  socket->SetNotify(GetActiveWindow(), message);
  socket->SetRequest(url, "GET", nullptr);
  socket->ConnectTo();
}

void CHttpRequestMgr::CheckUserName(const char* userName) {
  CWebCamServiceHttpRequestSocket* socket = GetRequestSocket();
  char url[kUrlSize];
  std::snprintf(url, sizeof(url), "http://%s%s?method=createUser&userName=%s", ServiceHost().c_str(), kServicePath,
                Cut(QueryEscape(userName), 60).c_str());
  Issue(socket, url, WM_CHECK_USER_NAME_RESULT);
}

void CHttpRequestMgr::CreateUser(const char* userName, const char* password, const char* mobileNumber,
                                 const char* cameraName) {
  CWebCamServiceHttpRequestSocket* socket = GetRequestSocket();
  char serial[128] = {};
  GetSerialID(serial, sizeof(serial));
  const std::string md5Key = MakeMd5Key(time(nullptr), serial);
  const std::string serialEncoded = UrlEncode(serial, 65001);
  const std::string nameEncoded = UrlEncode(UrlEncode(cameraName, 65001).c_str(), 65001);
  char url[kUrlSize];
  std::snprintf(url, sizeof(url),
                "http://%s%s?method=createUser&userName=%s&password=%s&mobileNumber=%s&camName=%s&serialID=%s&md5Key=%s",
                ServiceHost().c_str(), kServicePath, Cut(QueryEscape(userName), 60).c_str(),
                Cut(QueryEscape(password), 96).c_str(), Cut(QueryEscape(mobileNumber), 33).c_str(),
                Cut(nameEncoded, 320).c_str(), Cut(serialEncoded, 200).c_str(), md5Key.c_str());
  Issue(socket, url, WM_CREATE_USER_RESULT);
  Log("[%d]CHttpRequestMgr::CreateUser send [%s]", socket->GetId(), url);
}

void CHttpRequestMgr::Login(const char* userName, const char* password, const char* /*challenge*/) {
  CWebCamServiceHttpRequestSocket* socket = GetRequestSocket();
  char url[kUrlSize];
  std::snprintf(url, sizeof(url), "http://%s%s?method=login&userName=%s&password=%s&challenge=chap",
                ServiceHost().c_str(), kServicePath, Cut(QueryEscape(userName), 60).c_str(),
                Cut(QueryEscape(password), 96).c_str());
  Issue(socket, url, WM_LOGIN_RESULT);
  Log("[%d]CHttpRequestMgr::Login send [%s]", socket->GetId(), url);
}

void CHttpRequestMgr::AddDevice(const char* userName, const char* password, const char* /*challenge*/) {
  CWebCamServiceHttpRequestSocket* socket = GetRequestSocket();
  char url[kUrlSize];
  std::snprintf(url, sizeof(url), "http://%s%s?method=addDevice&userName=%s&password=%s&challenge=chap",
                ServiceHost().c_str(), kServicePath, Cut(QueryEscape(userName), 60).c_str(),
                Cut(QueryEscape(password), 96).c_str());
  Issue(socket, url, WM_ADD_DEVICE_RESULT);
  Log("[%d]CHttpRequestMgr::AddDevice send [%s]", socket->GetId(), url);
}
