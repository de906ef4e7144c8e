#pragma once
// CCameraRequestSession: one pooled connection of the camera HTTP server. It answers the
// status, settings and snapshot pages and, for a stream request, attaches its embedded live
// sender to channel 0 so the converted stream flows to the viewer. Runs on completion
// threads; one session handles its receives in order.
//
// A request is answered once it is whole (RequestReader.h); a connection that brings no
// whole request within a time limit, or that holds a slot with a half request while the
// pool is full, is ended by the request guard (RequestGuard.h) through CloseStalled.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "media/FileDispatcher.h"
#include "media/HttpRequest.h"
#include "media/SnapshotWorker.h"
#include "net/IOCPServerSocket.h"

class CCameraRequestSession : public CIOCPServerSocket, public CFileDispatcher, private ISnapshotClient {
 public:
  CCameraRequestSession();
  ~CCameraRequestSession() override;

  int ProcessRecvBuffer() override;
  void OnDestroy() override;
  // Answers the snapshot the receive was held for, then the requests behind it.
  void OnReceiveResumed() override;

  // Sends a file as the body of a 200 response. 0 when it cannot be opened, else 1.
  int ResponseUsingFile(const char* file);

  // What the connection waits for, as the request guard sees it. Any thread.
  enum class Wait {
    kBusy,     // no connection, streaming, answering, or a receive being handled
    kFree,     // ready to accept a connection (or being closed for that)
    kIdle,     // answered; nothing of a next request has come
    kPartial,  // connected, and what came is not yet a whole request
  };
  struct WaitState {
    Wait wait = Wait::kBusy;
    uint32_t waitedMs = 0;  // since the connection or the last whole request
  };
  WaitState GetWaitState(uint32_t now) const;

  // Ends the connection when it still waits (kPartial, or kIdle too unless partialOnly)
  // and has waited at least minWaitMs; logs why with the start of what came. Does nothing
  // while a receive of this session is being handled. Any thread but this session's own
  // handlers. True when the connection was ended.
  bool CloseStalled(uint32_t now, uint32_t minWaitMs, bool partialOnly, const char* why);

 private:
  // Handles the whole request at all[offset, offset + length); returns -1 to close, 1 when
  // handled, kAnswerLater when the answer goes out later (the bytes behind it wait).
  int HandleRequest(const char* all, int offset, int length);
  int SendText(const char* action, const std::string& body, bool logResponse = true);
  // The received-bytes line: bounded, escaped, secrets masked.
  void LogReceived(const char* text, int length);
  // A request the admin password guards, answered with 401 when it does not carry it.
  bool RefusedWithoutAdmin(CameraRequest kind, const char* request, int length, const char* params);
  void ProcessSettingsPost(const char* params);

  // The snapshot half (CameraRequestSnapshot.cpp): the worker takes the picture while the
  // receive is held, so no completion thread waits for the converter.
  static constexpr int kAnswerLater = 3;
  void RequestSnapshot(bool qcif);
  void OnSnapshot(const std::shared_ptr<const SnapshotPicture>& picture, uint32_t tag) override;
  void AnswerSnapshot(const SnapshotPicture& picture);
  void ForgetSnapshot(bool wait);

  int m_nChannel = 0;

  // Held while a receive is handled; the guard only tries it.
  std::mutex m_requestLock;
  std::atomic<bool> m_bFresh{true};            // no receive of this connection handled yet
  std::atomic<uint32_t> m_requestSince{0};     // tick of the connection or last whole request
  std::atomic<bool> m_bPartial{false};         // bytes of an unfinished request are kept
  std::atomic<bool> m_bStreaming{false};       // a live sender is attached
  std::atomic<bool> m_bClosingStalled{false};  // the guard shut the connection down
  std::atomic<uint32_t> m_stalledAt{0};        // tick of that shut-down
  std::atomic<uint32_t> m_connection{0};       // counts connections, so a stale close misses
  bool m_bLogged = false;                      // the kept bytes were logged already
  std::string m_partialHead;                   // start of the kept bytes, for the guard's log
  std::mutex m_snapshotLock;
  uint32_t m_nSnapshotHold = 0;  // the hold a snapshot is awaited for, 0 for none
  std::shared_ptr<const SnapshotPicture> m_pSnapshot;
};
