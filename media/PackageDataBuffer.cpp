#include "media/PackageDataBuffer.h"

#include <algorithm>

#include "infra/Logger.h"
#include "platform/Tick.h"

CPackageDataBuffer::CPackageDataBuffer() = default;

CPackageDataBuffer::~CPackageDataBuffer() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_pCurrent != nullptr && !m_bCurrentCommitted) m_packages.insert(m_pCurrent);
  for (StreamPackage* package : m_packages) {
    // A send still queued would read freed memory; such a package is left behind.
    if (package->IsReferenced()) {
      Log("CPackageDataBuffer::~CPackageDataBuffer package %u still referenced (%d), kept", package->sequence,
          static_cast<int>(package->refCount.load()));
      continue;
    }
    FreePackage(package);
  }
  m_packages.clear();
  m_pCurrent = nullptr;
}

StreamPackage* CPackageDataBuffer::AllocatePackage() {
  auto* package = new StreamPackage;
  package->headroom = std::max(m_nPackageHeadroom, kMinimumHeadroom);
  package->capacity = m_nPackageCapacity;
  package->allocation =
      new char[static_cast<size_t>(package->headroom) + static_cast<size_t>(package->capacity) + 1];
  package->data = package->allocation + package->headroom;
  return package;
}

void CPackageDataBuffer::FreePackage(StreamPackage* package) {
  delete[] package->allocation;
  delete package;
}

char* CPackageDataBuffer::GetWriteBuffer(int* free) {
  StreamPackage* package = nullptr;
  if (m_pCurrent != nullptr && !m_bCurrentCommitted) {
    // The last hand-out never arrived (failed receive): give the same package again.
    package = m_pCurrent;
  } else {
    // Of the packages old enough, the first unpinned one is reused and the other unpinned
    // ones are freed: a package pinned by a slow viewer's send neither holds up recycling
    // behind it nor leaves the set grown once the viewer is gone.
    std::lock_guard<std::mutex> guard(m_lock);
    const uint32_t now = platform::GetTickCount();
    for (auto it = m_packages.begin(); it != m_packages.end();) {
      StreamPackage* old = *it;
      if (static_cast<int32_t>(now - old->tick) < static_cast<int32_t>(kRecycleAgeMs)) break;
      if (old->IsReferenced()) {
        ++it;
        continue;
      }
      it = m_packages.erase(it);
      if (package == nullptr) package = old;
      else FreePackage(old);
    }
  }
  if (package == nullptr) package = AllocatePackage();
  package->keyFrame = nullptr;
  package->length = 0;
  package->received = 0;
  package->tagsEnd = 0;
  if (package != m_pCurrent || m_bCurrentCommitted) package->sequence = m_nNextSequence++;
  m_pCurrent = package;
  m_bCurrentCommitted = false;

  m_nCapacity = package->capacity;
  m_pBase = m_pRead = m_pWrite = package->data;
  if (free != nullptr) *free = package->capacity;
  return package->data;
}

int CPackageDataBuffer::CommitWrite(int n) {
  if (m_pCurrent == nullptr || m_bCurrentCommitted) {
    Log("CPackageDataBuffer::CommitWrite no package handed out, %d bytes dropped", n);
    return 0;
  }
  StreamPackage* package = m_pCurrent;
  n = std::clamp(n, 0, package->capacity);
  package->tick = platform::GetTickCount();
  package->length = n;
  package->received = n;
  package->tagsEnd = n;
  m_pWrite = package->data + n;
  *m_pWrite = 0;  // the spare byte
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_packages.insert(package);
  }
  m_bCurrentCommitted = true;
  return n;
}

void CPackageDataBuffer::SetSize(int capacity, int headroom) {
  if (capacity < 0) capacity = kDefaultPackageCapacity;
  if (headroom < 0) headroom = 0;
  if (m_pCurrent != nullptr || PackageCount() != 0) return;
  if (capacity <= m_nPackageCapacity) return;
  m_nPackageCapacity = capacity;
  m_nPackageHeadroom = headroom;
}

int CPackageDataBuffer::PackageCount() {
  std::lock_guard<std::mutex> guard(m_lock);
  return static_cast<int>(m_packages.size());
}
