#include "media/PacketStreamDataBuffer.h"

#include <algorithm>
#include <cstring>

#include "infra/Logger.h"
#include "platform/ByteOrder.h"

void CPacketStreamDataBuffer::ResetParser() {
  m_nScanOffset = 0;
  std::memset(m_lengthField, 0, sizeof(m_lengthField));
  m_nHeaderLength = 0;
  m_headerDone = false;
  m_firstBoundarySeen = false;
  ClearResults();
}

void CPacketStreamDataBuffer::CaptureFirstRecord(const char* data, int length) {
  int used = 0;
  while (!m_headerDone && used < length) {
    // The length field first, then exactly the record it announces.
    int want = 4;
    if (m_nHeaderLength >= 4) {
      const uint64_t record = platform::ReadLE32(m_header);
      if (record + 4 > static_cast<uint64_t>(kHeaderCapacity)) {
        Log("CPacketStreamDataBuffer::CaptureFirstRecord first record of %llu bytes does not fit, no header",
            static_cast<unsigned long long>(record));
        m_nHeaderLength = 0;
        m_headerDone = true;
        break;
      }
      want = static_cast<int>(record) + 4;
    }
    const int take = std::min(want - m_nHeaderLength, length - used);
    std::memcpy(m_header + m_nHeaderLength, data + used, static_cast<size_t>(take));
    m_nHeaderLength += take;
    used += take;
    // An empty first record is no header at all; a whole one ends the capture.
    if (m_nHeaderLength == want && want == 4 && m_nHeaderLength >= 4) {
      const auto* f = reinterpret_cast<const unsigned char*>(m_header);
      if ((f[0] | f[1] | f[2] | f[3]) == 0) {
        m_nHeaderLength = 0;
        m_headerDone = true;
      }
    } else if (m_nHeaderLength == want) {
      m_headerDone = true;
    }
  }
  m_header[m_nHeaderLength] = 0;
}

char* CPacketStreamDataBuffer::GetHeader(int* length) {
  if (length != nullptr) *length = m_headerDone ? m_nHeaderLength : 0;
  return m_header;
}

int CPacketStreamDataBuffer::ParseStream(char* data, int length) {
  ClearResults();
  if (data == nullptr || length < 0) return -1;
  m_pPackageData = data;
  m_nPackageLength = length;
  m_pResultPackage = CurrentPackageOf();
  if (!m_headerDone) CaptureFirstRecord(data, length);

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
      // The run's first record is its header, which a new viewer gets on its own; starting
      // there as well would hand it the initialisation segment twice.
      const bool firstOfRun = !m_firstBoundarySeen;
      m_firstBoundarySeen = true;
      if (m_pKeyFrame == nullptr && !firstOfRun) {
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
    m_nScanOffset = platform::ReadLE32(m_lengthField);
  }
}
