#include "remote/WebCamServiceHttpRequestSocket.h"

#include <cstring>

#include "camera_config/CameraInfoMgr.h"
#include "framework/Wnd.h"
#include "infra/Logger.h"

namespace {

struct ResultRow {
  const char* text;
  int code;
  int stringId;
};

struct ElementRule {
  const char* start;
  const char* close;
  ResultRow rows[4];
  int rowCount;
};

// Searched in this order; the first element start found decides which rows apply.
const ElementRule kRules[] = {
    {"<createUserReturn ",
     "</createUserReturn>",
     {{"createUser failed: user aleady exist.", kWebResultFailed, IDS_USER_EXISTS},
      {"createUser failed: missing infomation.", kWebResultNextStep, IDS_MISSING_INFO},
      {"createUser success.", kWebResultOk, 0}},
     3},
    {"<addDeviceReturn ",
     "</addDeviceReturn>",
     {{"addDevice success.", kWebResultOk, 0},
      {"addDevice failed: missing infomation.", kWebResultFailed, IDS_MISSING_INFO},
      {"addDevice failed: unauthorized user.", kWebResultFailed, IDS_UNAUTHORIZED}},
     3},
    {"<loginReturn ",
     "</loginReturn>",
     {{"login success.", kWebResultOk, 0},
      {"login failed: unauthorized user.", kWebResultFailed, IDS_UNAUTHORIZED},
      {"login failed: webcam device not exist.", kWebResultNextStep, IDS_DEVICE_MISSING},
      {"login failed: missing infomation.", kWebResultFailed, IDS_MISSING_INFO}},
     4},
};

constexpr const char* kLoginSuccess = "login success.";

}  // namespace

WebReplyOutcome DecideWebReply(const char* text) {
  WebReplyOutcome outcome;
  for (const ElementRule& rule : kRules) {
    const char* element = std::strstr(text, rule.start);
    if (element == nullptr) continue;
    for (int i = 0; i < rule.rowCount; ++i) {
      const char* found = std::strstr(element, rule.rows[i].text);
      if (found == nullptr) continue;
      outcome.decided = true;
      outcome.code = rule.rows[i].code;
      outcome.stringId = rule.rows[i].stringId;
      if (rule.rows[i].text == kLoginSuccess) {
        outcome.loginSuccess = true;
        outcome.recordFrom = found + std::strlen(kLoginSuccess);
      }
      return outcome;
    }
    if (std::strstr(element, rule.close) != nullptr) {
      outcome.decided = true;
      outcome.code = kWebResultFailed;
      outcome.stringId = IDS_OPERATION_FAILED;
    }
    return outcome;
  }
  return outcome;
}

RecordValue FindRecordValue(const char* text, const char* key) {
  const char* at = std::strstr(text, key);
  if (at == nullptr) return {};
  const char* value = at + std::strlen(key);
  const char* end = std::strstr(value, "' ");
  if (end == nullptr) return {};
  return {value, static_cast<int>(end - value)};
}

CWebCamServiceHttpRequestSocket::~CWebCamServiceHttpRequestSocket() { Retire(); }

void CWebCamServiceHttpRequestSocket::SetNotify(CWnd* window, uint32_t message) {
  std::lock_guard<std::mutex> guard(m_notifyLock);
  m_hNotifyWnd = window;
  m_nNotifyMessage = message;
  m_bPosted = false;
}

CWnd* CWebCamServiceHttpRequestSocket::GetNotifyWindow() const {
  std::lock_guard<std::mutex> guard(m_notifyLock);
  return m_hNotifyWnd;
}

void CWebCamServiceHttpRequestSocket::ForgetWindow(CWnd* wnd) {
  std::lock_guard<std::mutex> guard(m_notifyLock);
  if (m_hNotifyWnd == wnd) m_hNotifyWnd = nullptr;
}

bool CWebCamServiceHttpRequestSocket::Decided() const {
  std::lock_guard<std::mutex> guard(m_notifyLock);
  return m_bPosted;
}

void CWebCamServiceHttpRequestSocket::PostResult(int code, int stringId) {
  std::lock_guard<std::mutex> guard(m_notifyLock);
  m_bPosted = true;
  if (m_hNotifyWnd != nullptr)
    m_hNotifyWnd->PostMessage(m_nNotifyMessage, static_cast<uintptr_t>(code), static_cast<intptr_t>(stringId));
}

int CWebCamServiceHttpRequestSocket::ProcessRecvBuffer() {
  int length = 0;
  const char* text = m_pRecvBuffer->GetData(&length);
  m_nReplyState.store(1);
  Log("[%d]CWebCamServiceHttpRequestSocket::ProcessRecvBuffer %d bytes,[%s]", m_nId, length,
             text != nullptr ? text : "");
  if (text == nullptr || length < 1 || length > kMaxReplyLength) return 0;

  const WebReplyOutcome outcome = DecideWebReply(text);
  if (!outcome.decided) return 1;
  if (outcome.loginSuccess) {
    const char* keys[] = {"Camera camId='", "userName='", "userPassword='", "ftpUser='", "ftpPassword='"};
    RecordValue v[5];
    for (int i = 0; i < 5; ++i) v[i] = FindRecordValue(outcome.recordFrom, keys[i]);
    GetCameraInfoMgr().SetCameraInfoRetrievedFromServer(v[0].start, v[0].length, v[1].start, v[1].length, v[2].start,
                                                        v[2].length, v[3].start, v[3].length, v[4].start,
                                                        v[4].length);
  }
  PostResult(outcome.code, outcome.stringId);
  return 0;
}

void CWebCamServiceHttpRequestSocket::OnDestroy() {
  Log("[%d]CWebCamServiceHttpRequestSocket::OnDestroy", m_nId);
  // Every request ends with an answer: nothing arrived means the service was not reached;
  // data without a recognised outcome (or a sweep of a silent one) is an error.
  if (m_nReplyState.exchange(0) == 0) PostResult(kWebResultFailed, IDS_CANNOT_CONNECT);
  else if (!Decided()) PostResult(kWebResultFailed, IDS_OPERATION_FAILED);
}
