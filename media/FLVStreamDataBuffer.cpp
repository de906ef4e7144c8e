#include "media/FLVStreamDataBuffer.h"

#include <algorithm>
#include <cstring>

#include "infra/Logger.h"
#include "platform/ByteOrder.h"

namespace {

constexpr int kTagHeaderSize = 11;
constexpr int kTagOverhead = 15;  // tag header + previous-tag-size
constexpr int kMinimumTagRead = 12;
constexpr int kScriptTag = 18;
constexpr int kVideoTag = 9;

}  // namespace

CFLVStreamDataBuffer::Tag CFLVStreamDataBuffer::ReadTag(const char* base, int64_t available, int64_t* offset) {
  Tag tag;
  if (*offset < 0 || available - *offset < kMinimumTagRead) return tag;
  const auto* p = reinterpret_cast<const unsigned char*>(base + *offset);
  tag.type = p[0];
  tag.keyFrame = tag.type == kVideoTag && (p[kTagHeaderSize] & 0x10) != 0;
  *offset += int64_t{platform::ReadBE24(p + 1)} + kTagOverhead;
  tag.read = *offset > available ? TagRead::Incomplete : TagRead::Complete;
  return tag;
}

int CFLVStreamDataBuffer::ParseStream(char* data, int length) {
  if (data == nullptr || length < 0) return -1;
  for (;;) {
    if (m_nState == 4) return StreamingStep(data, length);
    const int result = HeaderStep(&data, &length);
    if (result != 1) return result;
  }
}

int CFLVStreamDataBuffer::HeaderStep(char** data, int* length) {
  if (*length == 0) return 0;
  const int fillBefore = m_nHeaderLength;
  const int take = std::min(*length, kHeaderCapacity - fillBefore);
  if (take <= 0) {
    Log("Not a http flv stream, close session.[%s]", m_header);
    return -1;
  }
  std::memcpy(m_header + fillBefore, *data, static_cast<size_t>(take));
  m_nHeaderLength += take;
  m_header[m_nHeaderLength] = 0;
  const int64_t available = m_nHeaderLength;
  int64_t scan = m_nScanOffset;

  if (m_nState == 1) {
    if (available - scan < kMinimumTagRead) {
      Log("Can not find FLV header, wait next package.[%s]", m_header);
      return 0;
    }
    // Header size, then previous-tag-size 0. A header size the area can never hold is no
    // FLV stream: stepping over it would leave the area.
    const int64_t next = scan + platform::ReadBE32(reinterpret_cast<const unsigned char*>(m_header + scan + 5)) + 4;
    if (next > kHeaderCapacity) {
      Log("Not a http flv stream, close session.[%s]", m_header);
      return -1;
    }
    scan = next;
    m_nScanOffset = scan;
    m_nState = 2;
  }
  if (m_nState == 2) {
    int64_t at = scan;
    const Tag tag = ReadTag(m_header, available, &at);
    if (tag.read != TagRead::Complete || tag.type != kScriptTag) {
      Log("Can not find FLV meta-data, wait next package.[%s]", m_header);
      m_nScanOffset = scan;
      return 0;
    }
    scan = at;
    m_nScanOffset = scan;
    m_nState = 3;
  }
  // State 3: up to the first key frame.
  for (;;) {
    int64_t at = scan;
    const Tag tag = ReadTag(m_header, available, &at);
    if (tag.read != TagRead::Short && tag.keyFrame) {
      if (at - scan < kSmallKeyFrame && tag.read == TagRead::Complete) scan = at;
      break;
    }
    if (tag.read != TagRead::Complete) {
      Log("Can not find FLV first I-Frame, wait next package.[%s]", m_header);
      m_nScanOffset = scan;
      return 0;
    }
    scan = at;
  }

  const int advance = static_cast<int>(scan) - fillBefore;
  m_nCarry = 0;
  if (advance < 0) {
    // The tag behind the header began in an earlier receive (its first bytes were too few
    // to read it then). They are in the header area: carry them in front of this input.
    const int early = -advance;
    if (early > kCarryCapacity || early > kMinimumHeadroom) {
      Log("Not a http flv stream, close session.[%s]", m_header);
      return -1;
    }
    std::memcpy(m_carry, m_header + scan, static_cast<size_t>(early));
    m_nCarry = early;
  }
  m_nHeaderLength = static_cast<int>(scan);
  m_header[m_nHeaderLength] = 0;
  m_nState = 4;
  m_nScanOffset = 0;
  Log("Got whole FLV header/meta-data, size=%d. ", m_nHeaderLength);
  if (advance < 0) return 1;
  *data += advance;
  *length -= advance;
  return *length > 0 ? 1 : 0;
}

int CFLVStreamDataBuffer::StreamingStep(char* data, int length) {
  char* start = data;
  int64_t total = length;
  if (m_nCarry > 0) {
    // The carried bytes go into the headroom, so the package itself is never moved.
    StreamPackage* package = CurrentPackageOf();
    if (package == nullptr || data < package->data || data > package->data + package->received ||
        data - package->allocation < m_nCarry) {
      Log("CFLVStreamDataBuffer::ParseStream data is not a package, %d carried bytes dropped", m_nCarry);
      m_nCarry = 0;
      ClearResults();
      return -1;
    }
    start = data - m_nCarry;
    std::memcpy(start, m_carry, static_cast<size_t>(m_nCarry));
    total += m_nCarry;
    m_nCarry = 0;
  }
  ClearResults();
  m_pPackageData = start;
  m_nPackageLength = static_cast<int>(total);
  m_pResultPackage = CurrentPackageOf();

  // Where the last tag ending in this package ends, for clips (package data relative).
  const StreamPackage* package = m_pResultPackage;
  const bool tracked = package != nullptr && start >= package->data - package->headroom &&
                       start + total <= package->data + package->received;
  int64_t lastEnd = -1;
  auto note = [&](int64_t end) {
    if (end > 0 && end <= total) lastEnd = end;
    if (tracked) m_nTagsEnd = lastEnd < 0 ? -1 : static_cast<int>(start + lastEnd - package->data);
  };

  int64_t offset = m_nScanOffset;
  note(offset);
  if (offset >= total) {
    m_nScanOffset = offset - total;
    return 1;
  }
  while (offset < total) {
    const int64_t tagStart = offset;
    const Tag tag = ReadTag(start, total, &offset);
    if (tag.read == TagRead::Short) break;
    if (tag.keyFrame && m_pKeyFrame == nullptr) {
      m_pKeyFrame = start + tagStart;
      m_nKeyFrameLength = static_cast<int>(total - tagStart);
    }
    note(offset);
    if (offset >= total) {
      m_nScanOffset = offset - total;
      return 1;
    }
  }
  // A tag header cut by the end of the package: its bytes go with the next package.
  const int cut = static_cast<int>(total - offset);
  std::memcpy(m_carry, start + offset, static_cast<size_t>(cut));
  m_nCarry = cut;
  m_nPackageLength -= cut;
  if (m_nKeyFrameLength >= cut) m_nKeyFrameLength -= cut;
  m_nScanOffset = 0;
  return 1;
}
