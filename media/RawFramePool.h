#pragma once
// CRawFramePool: copies of raw capture frames that queued sends may point into.
//
// The capture source reuses its frame memory once its callback returns, while sends to the
// converters complete later on completion threads. A frame is therefore copied once into a
// RawFrame, whose reference count (SharedReference) pins it while any send or holder still
// points into it; Take hands out a frame nobody pins any more. One pool per capture thread:
// Take is not thread-safe, the counts are.
#include <cstddef>
#include <memory>
#include <vector>

#include "net/SendPackage.h"

struct RawFrame : SharedReference {
  std::unique_ptr<char[]> data;
  int capacity = 0;
  int length = 0;
};

class CRawFramePool {
 public:
  explicit CRawFramePool(size_t maxFrames) : m_maxFrames(maxFrames) {}
  // Waits until no send points into any frame.
  ~CRawFramePool();
  CRawFramePool(const CRawFramePool&) = delete;
  CRawFramePool& operator=(const CRawFramePool&) = delete;

  // An unpinned frame of at least `length` bytes (length set, bytes not), or null when
  // maxFrames frames are all pinned.
  RawFrame* Take(int length);
  // Take and copy `length` bytes in.
  RawFrame* Copy(const void* bytes, int length);
  size_t Size() const { return m_frames.size(); }

 private:
  size_t m_maxFrames;
  std::vector<std::unique_ptr<RawFrame>> m_frames;
};
