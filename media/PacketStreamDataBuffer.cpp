#include "media/PacketStreamDataBuffer.h"

#include <cstring>

void CPacketStreamDataBuffer::ResetParser() {
  m_nScanOffset = 0;
  std::memset(m_lengthField, 0, sizeof(m_lengthField));
  ClearResults();
}

int CPacketStreamDataBuffer::ParseStream(char* data, int length) {
  ClearResults();
  if (data == nullptr || length < 0) return -1;
  m_pPackageData = data;
  m_nPackageLength = length;
  m_pResultPackage = CurrentPackageOf();

  int64_t pos = 0;
  for (;;) {
    if (m_nScanOffset >= 0) {
      // Bytes that still belong to the record being skipped.
      if (m_nScanOffset >= length - pos) {
        m_nScanOffset -= length - pos;
        return 1;
      }
      pos += m_nScanOffset;
      m_nScanOffset = 0;
      if (m_pKeyFrame == nullptr) {
        m_pKeyFrame = data + pos;
        m_nKeyFrameLength = static_cast<int>(length - pos);
      }
    }
    // The length field; with a negative offset its first bytes ended the previous package.
    const int seen = m_nScanOffset < 0 ? static_cast<int>(-m_nScanOffset) : 0;
    const int64_t need = 4 - seen;
    if (length - pos < need) {
      const int have = static_cast<int>(length - pos);
      std::memcpy(m_lengthField + seen, data + pos, static_cast<size_t>(have));
      m_nScanOffset = -(seen + have);
      return 1;
    }
    std::memcpy(m_lengthField + seen, data + pos, static_cast<size_t>(need));
    pos += need;
    m_nScanOffset = int64_t{m_lengthField[0]} | (int64_t{m_lengthField[1]} << 8) | (int64_t{m_lengthField[2]} << 16) |
                    (int64_t{m_lengthField[3]} << 24);
  }
}
