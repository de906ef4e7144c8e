// The snapshot half of CCameraRequestSession: the picture is taken by the snapshot worker,
// and the connection holds its receive (and the requests behind the snapshot request)
// until the answer went out, so answers keep the order of the requests.
#include "infra/Logger.h"
#include "media/CameraRequestSession.h"
#include "media/HttpRequest.h"
#include "platform/Tick.h"

void CCameraRequestSession::RequestSnapshot(bool qcif) {
  const uint32_t hold = HoldReceive();
  {
    std::lock_guard<std::mutex> guard(m_snapshotLock);
    m_nSnapshotHold = hold;
    m_pSnapshot.reset();
  }
  GetSnapshotWorker().Request(this, m_nChannel, qcif, hold);
}

void CCameraRequestSession::OnSnapshot(const std::shared_ptr<const SnapshotPicture>& picture, uint32_t tag) {
  {
    std::lock_guard<std::mutex> guard(m_snapshotLock);
    if (tag == 0 || tag != m_nSnapshotHold) return;  // asked for by a connection that ended
    m_pSnapshot = picture;
  }
  ResumeReceive(tag);
}

void CCameraRequestSession::ForgetSnapshot(bool wait) {
  {
    std::lock_guard<std::mutex> guard(m_snapshotLock);
    m_nSnapshotHold = 0;
    m_pSnapshot.reset();
  }
  if (CSnapshotWorker* worker = SnapshotWorkerIfStarted()) worker->Cancel(this, wait);
}

void CCameraRequestSession::OnReceiveResumed() {
  std::shared_ptr<const SnapshotPicture> picture;
  {
    std::lock_guard<std::mutex> guard(m_snapshotLock);
    picture = std::move(m_pSnapshot);
    m_nSnapshotHold = 0;
  }
  if (picture == nullptr) return;  // the connection that asked has ended
  if (picture->taken == 0) {
    Close();  // a failed snapshot closes without an answer
    return;
  }
  AnswerSnapshot(*picture);
  m_requestSince.store(platform::GetTickCount());  // the request clock restarts at the answer
  int length = 0;
  m_pRecvBuffer->GetData(&length);
  if (length > 0) {
    FinishReceive(ProcessRecvBuffer());
  } else {
    m_pRecvBuffer->Reset();
    PostRecv();
  }
}

void CCameraRequestSession::AnswerSnapshot(const SnapshotPicture& picture) {
  if (picture.opened) {
    const std::string header = BuildFileResponseHeader(static_cast<unsigned>(picture.bytes.size()));
    Send(header.data(), static_cast<int>(header.size()));
    Log("[%d]ResponseUsingFile [%s] with header [%s]", GetId(), picture.file.c_str(), header.c_str());
    Send(picture.bytes.data(), static_cast<int>(picture.bytes.size()));
  }
  Log("[%d]Response ACT_REQUEST_SNAPSHOT [%s]", GetId(), picture.file.c_str());
}
