#include "net/DataBuffer.h"

#include <cassert>
#include <cstring>

CDataBuffer::CDataBuffer() {
  Allocate();
  Reset();
}

CDataBuffer::~CDataBuffer() { delete[] m_pAllocation; }

void CDataBuffer::Allocate() {
  delete[] m_pAllocation;
  m_pAllocation = new char[static_cast<size_t>(m_nHeadroom) + static_cast<size_t>(m_nCapacity) + 1];
  m_pBase = m_pAllocation + m_nHeadroom;
}

int CDataBuffer::GetCapacity() { return m_nCapacity; }

char* CDataBuffer::GetBase() { return m_pBase; }

char* CDataBuffer::ReadRecord(int* length) {
  const auto* end = static_cast<char*>(std::memchr(m_pRead, 0, static_cast<size_t>(m_pWrite - m_pRead)));
  if (end == nullptr) return nullptr;
  char* record = m_pRead;
  if (length != nullptr) *length = static_cast<int>(end - record);
  m_pRead = const_cast<char*>(end) + 1;
  return record;
}

char* CDataBuffer::GetData(int* length) {
  if (length != nullptr) *length = static_cast<int>(m_pWrite - m_pRead);
  return m_pRead;
}

char* CDataBuffer::BeginRecord() { return nullptr; }

void CDataBuffer::EndRecord(char* /*recordStart*/) {}

int CDataBuffer::Append(const char* data, int length) {
  assert(data != nullptr);
  if (length < 0) length = static_cast<int>(std::strlen(data)) + 1;
  if ((m_pWrite - m_pBase) + length + 1 > m_nCapacity) return 0;
  std::memcpy(m_pWrite, data, static_cast<size_t>(length));
  m_pWrite += length;
  return length;
}

char* CDataBuffer::GetWriteBuffer(int* free) {
  int room = static_cast<int>(m_pBase + m_nCapacity - m_pWrite);
  if (room == 0 && m_pRead != m_pBase) {
    const auto unread = static_cast<size_t>(m_pWrite - m_pRead);
    std::memmove(m_pBase, m_pRead, unread);
    m_pRead = m_pBase;
    m_pWrite = m_pBase + unread;
    room = static_cast<int>(m_pBase + m_nCapacity - m_pWrite);
  }
  if (free != nullptr) *free = room;
  return m_pWrite;
}

int CDataBuffer::CommitWrite(int n) {
  assert(n >= 0 && n <= m_pBase + m_nCapacity - m_pWrite);
  m_pWrite += n;
  *m_pWrite = 0;
  return n;
}

char* CDataBuffer::GetReadBuffer(int* length) { return GetData(length); }

void CDataBuffer::Consume(int n) {
  const int unread = static_cast<int>(m_pWrite - m_pRead);
  assert(n >= 0 && n <= unread);
  if (n == unread) {
    Reset();
    return;
  }
  std::memmove(m_pRead, m_pRead + n, static_cast<size_t>(unread - n));
  m_pWrite -= n;
}

int CDataBuffer::GetLength() { return static_cast<int>(m_pWrite - m_pRead); }

void CDataBuffer::Reset() { m_pRead = m_pWrite = m_pBase; }

void CDataBuffer::SetSize(int capacity, int headroom) {
  if (capacity < 0) capacity = kDefaultCapacity;
  if (capacity <= m_nCapacity) return;
  m_nCapacity = capacity;
  m_nHeadroom = headroom < 0 ? 0 : headroom;
  Allocate();
  // The old positions pointed into the released allocation.
  Reset();
}
