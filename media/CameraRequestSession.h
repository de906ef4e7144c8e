#pragma once
// CCameraRequestSession: one pooled connection of the camera HTTP server. It answers the
// status, settings and snapshot pages and, for a stream request, attaches its embedded live
// sender to channel 0 so the converted stream flows to the viewer. Runs on completion
// threads; one session handles its receives in order.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "media/FileDispatcher.h"
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

 private:
  // Handles the request at all[offset, offset + length); returns -1 to close, 0 to stop
  // keeping the unanswered bytes, 1 when handled, 2 to stop and drop the bytes,
  // kAnswerLater to stop and keep the bytes behind it for when the answer went out.
  int HandleRequest(const char* all, int offset, int length);
  int SendText(const char* action, const std::string& body);

  // The snapshot half (CameraRequestSnapshot.cpp): the worker takes the picture while the
  // receive is held, so no completion thread waits for the converter.
  static constexpr int kAnswerLater = 3;
  void RequestSnapshot(bool qcif);
  void OnSnapshot(const std::shared_ptr<const SnapshotPicture>& picture, uint32_t tag) override;
  void AnswerSnapshot(const SnapshotPicture& picture);
  void ForgetSnapshot(bool wait);

  int m_nChannel = 0;
  std::mutex m_snapshotLock;
  uint32_t m_nSnapshotHold = 0;  // the hold a snapshot is awaited for, 0 for none
  std::shared_ptr<const SnapshotPicture> m_pSnapshot;
};
