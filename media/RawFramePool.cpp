#include "media/RawFramePool.h"

#include <cstring>

CRawFramePool::~CRawFramePool() {
  for (auto& frame : m_frames) frame->WaitUntilUnreferenced();
}

RawFrame* CRawFramePool::Take(int length) {
  if (length <= 0) return nullptr;
  RawFrame* frame = nullptr;
  for (auto& candidate : m_frames) {
    if (!candidate->IsReferenced()) {
      frame = candidate.get();
      break;
    }
  }
  if (frame == nullptr) {
    if (m_frames.size() >= m_maxFrames) return nullptr;
    m_frames.push_back(std::make_unique<RawFrame>());
    frame = m_frames.back().get();
  }
  if (frame->capacity < length) {
    frame->data = std::make_unique<char[]>(static_cast<size_t>(length));
    frame->capacity = length;
  }
  frame->length = length;
  return frame;
}

RawFrame* CRawFramePool::Copy(const void* bytes, int length) {
  RawFrame* frame = Take(length);
  if (frame != nullptr) std::memcpy(frame->data.get(), bytes, static_cast<size_t>(length));
  return frame;
}
