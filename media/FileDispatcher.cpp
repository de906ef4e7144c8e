#include "media/FileDispatcher.h"

#include <cstdint>
#include <cstring>

#include "infra/Logger.h"
#include "media/FlvTemplates.h"
#include "media/StreamDataBuffer.h"
#include "media/ViewerQueue.h"
#include "net/IOCPSocket.h"
#include "platform/ByteOrder.h"
#include "platform/PointerText.h"
#include "platform/Tick.h"

namespace {

constexpr int kAdtsHeaderSize = 7;
constexpr int kTagHeaderSize = 11;
constexpr int kAudioTagHeaderSize = 13;  // tag header + AF 01
constexpr int kHeaderInFront = kAudioTagHeaderSize - kAdtsHeaderSize;

}  // namespace

using platform::LowAddress;
using platform::WriteBE24;
using platform::WriteBE32;

CFileDispatcher::CFileDispatcher() : m_nStartTick(platform::GetTickCount()) {
  // Audio tag (type 8), size and timestamp written per tag, stream id 0, then AAC raw.
  m_audioTagHeader[0] = 8;
  m_audioTagHeader[11] = 0xAF;
  m_audioTagHeader[12] = 0x01;
}

CFileDispatcher::~CFileDispatcher() = default;

void CFileDispatcher::Bind(CIOCPSocket* socket) {
  m_nLiveCount = 0;
  m_nAudioCount = 0;
  m_nHeaderTemplateSent = 0;
  m_bBehind = false;
  m_nStartTick = platform::GetTickCount();
  m_pSocket = socket;
}

int CFileDispatcher::SendRaw(const char* data, int length) {
  if (m_pSocket == nullptr) return 0;
  return m_pSocket->Send(data, length);
}

int CFileDispatcher::SendAudioFrame(char* data, int length) {
  if (data == nullptr || length < kAdtsHeaderSize) {
    Log("CFileDispatcher::SendAudioFrame not an ADTS frame, length=%d", length);
    return m_nAudioCount;
  }
  if (m_nAudioCount == 0) {
    if (m_nHeaderTemplateSent == 0) {
      SendRaw(reinterpret_cast<const char*>(kFlvStreamHeaderTemplate), kFlvStreamHeaderTemplateSize);
      m_nHeaderTemplateSent = 1;
    }
    SendRaw(reinterpret_cast<const char*>(kFlvAudioStartTemplate), kFlvAudioStartTemplateSize);
  }
  // The ADTS header goes, AF 01 comes: 7 bytes out, 2 in.
  const auto dataSize = static_cast<uint32_t>(length - kAdtsHeaderSize + 2);
  WriteBE24(m_audioTagHeader + 1, dataSize);
  const uint32_t timestamp = platform::GetTickCount() - m_nStartTick;
  WriteBE24(m_audioTagHeader + 4, timestamp & 0xFFFFFF);
  m_audioTagHeader[7] = static_cast<unsigned char>(timestamp >> 24);

  auto* tag = reinterpret_cast<unsigned char*>(data - kHeaderInFront);
  std::memcpy(tag, m_audioTagHeader, kAudioTagHeaderSize);
  WriteBE32(reinterpret_cast<unsigned char*>(data + length), dataSize + kTagHeaderSize);
  SendRaw(reinterpret_cast<const char*>(tag), static_cast<int>(dataSize) + kTagHeaderSize + 4);
  return ++m_nAudioCount;
}

int CFileDispatcher::SendLive(CStreamDataBuffer* source) {
  if (source == nullptr || m_pSocket == nullptr) return 0;
  if (m_nLiveCount == 0) {
    int keyLength = 0;
    char* keyFrame = source->GetKeyFrame(&keyLength);
    if (keyFrame == nullptr || keyLength <= 0) return 0;
    int headerLength = 0;
    char* header = source->GetHeader(&headerLength);
    int result = 1;
    if (headerLength > 0) {
      Log("CFileDispatcher::SendLive1 source=%x, header=%x, size=%d", LowAddress(source), LowAddress(header),
          headerLength);
      if (m_pSocket->Send(header, headerLength) != 1) result = -1;
    }
    if (m_pSocket->Send(keyFrame, keyLength, source->GetCurrentPackage()) != 1) result = -1;
    Log("CFileDispatcher::SendLive2 source=%x, start=%x, size=%d", LowAddress(source), LowAddress(keyFrame),
        keyLength);
    ++m_nLiveCount;
    return result;
  }
  const int64_t queued = m_pSocket->GetQueuedBytes();
  const uint32_t stalled = m_pSocket->SendStallMs();
  if (JudgeViewerQueue(ViewerQueueLimits::Program(), queued, stalled) == ViewerVerdict::kSkip) {
    if (!m_bBehind)
      Log("CFileDispatcher::SendLive viewer [%d] behind, %lld bytes queued, %u ms stalled, skipping to a key frame",
          m_pSocket->GetId(), static_cast<long long>(queued), stalled);
    m_bBehind = true;
    return 0;
  }
  if (m_bBehind) {
    int keyLength = 0;
    char* keyFrame = source->GetKeyFrame(&keyLength);
    if (keyFrame == nullptr || keyLength <= 0) return 0;
    if (m_pSocket->Send(keyFrame, keyLength, source->GetCurrentPackage()) != 1) return -1;
    m_bBehind = false;
    ++m_nLiveCount;
    return 1;
  }
  int length = 0;
  char* data = source->GetPackageData(&length);
  if (data == nullptr || length <= 0) return 0;
  if (m_pSocket->Send(data, length, source->GetCurrentPackage()) != 1) return -1;
  ++m_nLiveCount;
  return 1;
}
