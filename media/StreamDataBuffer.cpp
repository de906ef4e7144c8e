#include "media/StreamDataBuffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "infra/Logger.h"
#include "platform/ProgramDir.h"

namespace {

// Writes all of data[0, length); false on a write error.
bool WriteAll(int fd, const char* data, int64_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, static_cast<size_t>(length));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= n;
  }
  return true;
}

}  // namespace

CStreamDataBuffer::CStreamDataBuffer() = default;

CStreamDataBuffer::~CStreamDataBuffer() = default;

char* CStreamDataBuffer::GetHeader(int* length) {
  if (length != nullptr) *length = m_nHeaderLength;
  return m_header;
}

char* CStreamDataBuffer::GetKeyFrame(int* length) {
  if (length != nullptr) *length = m_pKeyFrame != nullptr ? m_nKeyFrameLength : 0;
  return m_pKeyFrame;
}

char* CStreamDataBuffer::GetPackageData(int* length) {
  if (length != nullptr) *length = m_nPackageLength;
  return m_pPackageData;
}

StreamPackage* CStreamDataBuffer::GetCurrentPackage() { return m_pResultPackage; }

void CStreamDataBuffer::ClearResults() {
  m_pKeyFrame = nullptr;
  m_nKeyFrameLength = 0;
  m_pPackageData = nullptr;
  m_nPackageLength = 0;
  m_pResultPackage = nullptr;
  m_nTagsEnd = kUntracked;
}

void CStreamDataBuffer::ResetParser() {
  m_nState = 1;
  m_nScanOffset = 0;
  m_nCarry = 0;
  m_nHeaderLength = 0;
  m_header[0] = 0;
  ClearResults();
}

int CStreamDataBuffer::ParseReceived(char* data, int length) {
  const int result = ParseStream(data, length);
  if (result != 1) return result;
  int keyLength = 0;
  char* keyFrame = GetKeyFrame(&keyLength);
  StreamPackage* package = GetCurrentPackage();
  if (package != nullptr) {
    // The clip walk reads these fields from another thread.
    std::lock_guard<std::mutex> guard(m_lock);
    package->keyFrame = keyFrame;
    if (keyFrame != nullptr) package->length = keyLength;
    if (m_nTagsEnd != kUntracked) package->tagsEnd = m_nTagsEnd;
  }
  return result;
}

int CStreamDataBuffer::GetFLVHistoryClip(uint32_t startTick, uint32_t endTick, const char* file) {
  Log("CFLVStreamDataBuffer::GetFLVHistoryClip %d, %d", static_cast<int>(startTick), static_cast<int>(endTick));
  const std::string path = file != nullptr ? std::string(file) : platform::ProgramDirectory() + "historyClip.flv";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    LogWithLastError("CFLVStreamDataBuffer::GetFLVHistoryClip can not create %s", path.c_str());
    return 0;
  }
  bool ok = WriteAll(fd, m_header, m_nHeaderLength);
  int64_t written = m_nHeaderLength;
  int64_t wholeTags = written;  // the clip ends on the last whole tag
  {
    std::lock_guard<std::mutex> guard(m_lock);
    bool started = false;
    uint32_t limit = 0;
    for (StreamPackage* package : m_packages) {
      const char* from = package->data;
      if (!started) {
        if (package->keyFrame == nullptr || static_cast<int32_t>(package->tick - startTick) < 0) continue;
        // The window is shifted by the delay of the first key frame.
        limit = endTick + (package->tick - startTick);
        started = true;
        // From the key frame to the end of everything received: the bytes behind its whole
        // tags are the start of the next tag, which the next package continues.
        from = package->keyFrame;
      } else if (package->tick > limit) {
        break;
      }
      // Later packages whole: a key frame inside one does not make the bytes before it
      // (the rest of earlier tags) any less part of the stream.
      const char* end = package->data + package->received;
      ok = ok && WriteAll(fd, from, end - from);
      if (package->tagsEnd >= 0 && package->data + package->tagsEnd >= from)
        wholeTags = written + (package->data + package->tagsEnd - from);
      written += end - from;
    }
  }
  if (ok && wholeTags < written) ok = ftruncate(fd, wholeTags) == 0;
  if (!ok) LogWithLastError("CFLVStreamDataBuffer::GetFLVHistoryClip write to %s failed", path.c_str());
  close(fd);
  return 1;
}
