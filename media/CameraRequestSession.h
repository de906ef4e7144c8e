#pragma once
// CCameraRequestSession: one pooled connection of the camera HTTP server. It answers the
// status, settings and snapshot pages and, for a stream request, attaches its embedded live
// sender to channel 0 so the converted stream flows to the viewer. Runs on completion
// threads; one session handles its receives in order.
#include <string>

#include "media/FileDispatcher.h"
#include "net/IOCPServerSocket.h"

class CCameraRequestSession : public CIOCPServerSocket, public CFileDispatcher {
 public:
  CCameraRequestSession();
  ~CCameraRequestSession() override;

  int ProcessRecvBuffer() override;
  void OnDestroy() override;

  // Sends a file as the body of a 200 response. 0 when it cannot be opened, else 1.
  int ResponseUsingFile(const char* file);

 private:
  // Handles the request at all[offset, offset + length); returns -1 to close, 0 to stop
  // keeping the unanswered bytes, 1 when handled, 2 to stop and drop the bytes.
  int HandleRequest(const char* all, int offset, int length);
  int SendText(const char* action, const std::string& body);

  int m_nChannel = 0;
};
