#include "net/MessageBuffer.h"

#include <cassert>
#include <cstring>

#include "platform/ByteOrder.h"

namespace {

constexpr uint32_t kFiller = 0xFFFFFFFFu;

}  // namespace

char* CMessageBuffer::ReadRecord(int* length) {
  int dummy = 0;
  if (length == nullptr) length = &dummy;
  const int64_t unread = m_pWrite - m_pRead;
  if (unread < 4) {
    *length = -1;
    return nullptr;
  }
  const uint32_t field = platform::ReadLE32(m_pRead);
  if (field == kFiller) {
    m_pRead += 4;
    *length = 0;
    return nullptr;
  }
  // Lengths beyond what an int can say cannot complete in any buffer; report them as the
  // largest length rather than as a negative "need more header" value.
  *length = field > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(field);
  if (static_cast<int64_t>(field) > unread - 4) return nullptr;
  char* record = m_pRead + 4;
  m_pRead = record + field;
  if (m_pRead == m_pWrite) Reset();
  return record;
}

char* CMessageBuffer::BeginRecord() {
  if ((m_pWrite - m_pBase) + 4 > m_nCapacity) return nullptr;
  char* slot = m_pWrite;
  platform::WriteLE32(slot, 0);
  m_pWrite += 4;
  return slot;
}

void CMessageBuffer::EndRecord(char* recordStart) {
  assert(recordStart != nullptr && recordStart >= m_pBase && recordStart + 4 <= m_pWrite);
  platform::WriteLE32(recordStart, static_cast<uint32_t>(m_pWrite - (recordStart + 4)));
}

int CMessageBuffer::AppendRecord(const char* data, int length) {
  assert(data != nullptr);
  if (length < 0) length = static_cast<int>(std::strlen(data));
  if ((m_pWrite - m_pBase) + length + 4 > m_nCapacity) return 0;
  platform::WriteLE32(m_pWrite, static_cast<uint32_t>(length));
  std::memcpy(m_pWrite + 4, data, static_cast<size_t>(length));
  m_pWrite += 4 + length;
  return length;
}
