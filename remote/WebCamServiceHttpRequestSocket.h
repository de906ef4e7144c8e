#pragma once
// CWebCamServiceHttpRequestSocket: one web-service account request (createUser, login,
// addDevice) on a reusable HTTP client socket. The answer is not parsed as XML: fixed
// marker texts decide the outcome, which is posted to the window that issued the request.
//
// Who may include it: remote/ and its tests. ProcessRecvBuffer and OnDestroy run on the
// completion threads; SetNotify on the thread that issues the request.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "net/HttpClientSocket.h"

class CWnd;

// Result codes of the posted messages: (code, string id).
constexpr int kWebResultOk = 1;
constexpr int kWebResultNextStep = 6;
constexpr int kWebResultFailed = 7;

// String-table ids carried as the second message parameter.
constexpr int IDS_USER_EXISTS = 105;
constexpr int IDS_MISSING_INFO = 106;
constexpr int IDS_DEVICE_MISSING = 109;
constexpr int IDS_UNAUTHORIZED = 110;
constexpr int IDS_OPERATION_FAILED = 111;
constexpr int IDS_CANNOT_CONNECT = 112;

// The decision taken on the reply received so far.
struct WebReplyOutcome {
  bool decided = false;  // false: keep receiving
  int code = 0;
  int stringId = 0;
  bool loginSuccess = false;  // the camera record follows recordFrom
  const char* recordFrom = nullptr;
};

// Pure: searches the markers in their fixed order over text[0, length).
WebReplyOutcome DecideWebReply(const char* text);

// One value of the camera record: from just behind key up to the next "' ", searched from
// the start of text; empty (start null, length 0) when the key or the terminator is missing.
struct RecordValue {
  const char* start = nullptr;
  int length = 0;
};
RecordValue FindRecordValue(const char* text, const char* key);

class CWebCamServiceHttpRequestSocket : public CHttpClientSocket {
 public:
  static constexpr int kMaxReplyLength = 4096;

  CWebCamServiceHttpRequestSocket() = default;
  ~CWebCamServiceHttpRequestSocket() override;

  void SetNotify(CWnd* window, uint32_t message);
  CWnd* GetNotifyWindow() const;
  // Clears the window when it is wnd, so a closed dialog is never posted to.
  void ForgetWindow(CWnd* wnd);

  int ProcessRecvBuffer() override;
  void OnDestroy() override;

 private:
  void PostResult(int code, int stringId);
  bool Decided() const;

  // 0: nothing received on this request; 1: data arrived. A sweep may close the socket
  // on the server thread while a receive completes on a worker.
  std::atomic<int32_t> m_nReplyState{0};
  CWnd* m_hNotifyWnd = nullptr;
  uint32_t m_nNotifyMessage = 0;
  // Set when a recognised outcome was posted, so the end of the connection adds nothing.
  bool m_bPosted = false;
  mutable std::mutex m_notifyLock;
};
