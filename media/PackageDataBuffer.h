#pragma once
// CPackageDataBuffer: a receive buffer that never moves or copies what it received. Every
// receive gets a package of its own (StreamPackage); the packages of about the last 16
// seconds are kept, ordered by sequence, for live viewers and alarm clips.
//
// Who may include it: media/. One converter connection drives it on a completion thread,
// one receive at a time: GetWriteBuffer, receive, CommitWrite, GetData, parse, distribute,
// Reset. Only the package set is shared with other threads (the clip walk of
// CStreamDataBuffer::GetFLVHistoryClip); it is guarded by m_lock.
//
// Recycling: when a package is handed out, the oldest package that is at least 16001 ms
// old (tick seam in platform/Tick.h) and that no queued send points into is reused; other
// such packages are freed.
#include <cstdint>
#include <mutex>
#include <set>

#include "media/StreamPackage.h"
#include "net/DataBuffer.h"

class CPackageDataBuffer : public CDataBuffer {
 public:
  static constexpr int kDefaultPackageCapacity = 8192;
  static constexpr uint32_t kRecycleAgeMs = 16001;
  // Bytes kept in front of every package whatever the recorded headroom: the stream
  // parsers place carried tag-header bytes there (at most 11).
  static constexpr int kMinimumHeadroom = 16;

  CPackageDataBuffer();
  ~CPackageDataBuffer() override;

  // A package for the next receive, made current; free = its capacity. Base, read and
  // write are moved to its data.
  char* GetWriteBuffer(int* free) override;
  // n bytes arrived in the current package: stamps tick and length, inserts it in the set.
  int CommitWrite(int n) override;
  // Records the sizes of packages allocated later (negative capacity: 8192, negative
  // headroom: 0). No effect once a package exists or when capacity does not grow.
  void SetSize(int capacity, int headroom) override;

  // The package of the receive in progress (or just committed); null before the first.
  StreamPackage* CurrentPackageOf() const { return m_pCurrent; }
  int PackageCapacity() const { return m_nPackageCapacity; }
  int PackageHeadroom() const { return m_nPackageHeadroom; }
  // Packages in the set (taken under the lock).
  int PackageCount();
  // Calls visit(package) for each stored package in sequence order, under the lock.
  template <typename Visit>
  void ForEachPackage(Visit visit) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (StreamPackage* package : m_packages) visit(package);
  }

 protected:
  struct BySequence {
    bool operator()(const StreamPackage* a, const StreamPackage* b) const { return a->sequence < b->sequence; }
  };

  StreamPackage* AllocatePackage();
  static void FreePackage(StreamPackage* package);

  std::set<StreamPackage*, BySequence> m_packages;
  StreamPackage* m_pCurrent = nullptr;
  bool m_bCurrentCommitted = false;
  uint32_t m_nNextSequence = 0;
  int m_nPackageCapacity = CDataBuffer::kDefaultCapacity;
  int m_nPackageHeadroom = 0;
  std::mutex m_lock;  // guards m_packages and the package fields the parser rewrites
};
