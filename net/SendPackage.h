#pragma once
// SendPackage: one queued write of a socket (its overlapped record), and SharedReference,
// the count that lets many sockets send the same bytes without copying them.
//
// Who may include it: net/, and owners of bytes sent by reference (the stream packages and
// convertors of the media pipeline). Packages are made and released by CIOCPSocket only.
//
// Sending by reference. An owner of bytes that outlive the send (a received stream
// package, a captured frame) embeds or derives from SharedReference and passes it to
// CIOCPSocket::Send together with a pointer into its bytes. Each queued send adds one to
// refCount when it is queued and takes one off when it completed (or failed), on whatever
// thread that happens. One package sent to fifteen viewers holds refCount 15 until the
// slowest viewer's send is done; while refCount is above 0 the owner must neither change
// nor free the bytes. The count is a pin, not ownership: the owner decides what happens
// once it is back at 0 (reuse, free), checking it with IsReferenced() or waiting with
// WaitUntilUnreferenced().
#include <atomic>
#include <cstdint>

#include "platform/completion/CompletionPort.h"

class CIOCPSocket;

struct SharedReference {
  // Queued sends pointing into the owner's bytes. Changed only through AddRef/Release.
  std::atomic<int32_t> refCount{0};

  void AddRef() { refCount.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) refCount.notify_all();
  }
  bool IsReferenced() const { return refCount.load(std::memory_order_acquire) != 0; }
  // Blocks the calling thread until no queued send points into the bytes any more.
  void WaitUntilUnreferenced() const {
    for (int32_t n = refCount.load(std::memory_order_acquire); n != 0; n = refCount.load(std::memory_order_acquire))
      refCount.wait(n, std::memory_order_acquire);
  }
};

// The overlapped record of one operation. The receive package and the package template
// are embedded in their socket; every send gets a package of its own, made from the
// template, whose private copy (if any) lives in the same allocation right behind it.
struct SendPackage : platform::completion::Overlapped {
  CIOCPSocket* owner = nullptr;
  uint8_t write = 0;  // 1 for sends and connects, 0 for receives and accepts
  struct {
    uint32_t len = 0;
    char* buf = nullptr;
  } buffer;
  SharedReference* shared = nullptr;

  // A package for data[0, length): a private copy, or the caller's bytes when shared is
  // given (whose count is then raised). Never fails (allocation failure is fatal).
  static SendPackage* Make(const SendPackage& from, const char* data, uint32_t length, SharedReference* shared);
  // Drops the shared count or frees the copy, and the package.
  static void Free(SendPackage* package);
  // Packages made and not yet freed, process-wide (for leak checks).
  static int LiveCount();
};
