#pragma once
// StreamPackage: one receive's worth of converter output, kept by a CPackageDataBuffer.
//
// Who may include it: media/ (stream buffers, convertors, live senders) and whoever sends a
// package by reference. Packages are made, recycled and freed by their CPackageDataBuffer
// only; everyone else reads them. refCount (from SharedReference) is the pin of the
// no-copy send: the socket layer raises it when it queues a send pointing into the package
// and drops it when that send completed, on any thread. A pinned package is never reused.
//
//     allocation
//     |<- headroom ->|<------------- capacity -------------->|+1|
//     +--------------+---------------------------------------+--+
//     | carried tag  |  received bytes (received)    | free  |0 |
//     | header bytes |                               |       |  |
//     +--------------+---------------------------------------+--+
//                    ^ data
//     keyFrame may point into the headroom when the key-frame tag began in bytes carried
//     over from the previous package.
#include <cstdint>

#include "net/SendPackage.h"

struct StreamPackage : SharedReference {
  int32_t capacity = 0;       // bytes the data area can take
  char* data = nullptr;       // allocation starts `headroom` bytes earlier, one spare byte at end
  char* keyFrame = nullptr;   // first key-frame tag found in this package, or null
  int32_t length = 0;         // bytes received; from keyFrame to the end of whole tags once set
  uint32_t tick = 0;          // tick at which the receive completed
  uint32_t sequence = 0;      // buffer's sequence number at hand-out (re-stamped on reuse)

  int32_t headroom = 0;       // bytes in front of data that belong to the allocation
  int32_t received = 0;       // bytes received into data (never rewritten by the parser)
  // Bytes from data to the end of the last tag that ends in this package (-1: none does);
  // a clip cut behind it ends on a whole tag. All received bytes until a parser says more.
  int32_t tagsEnd = 0;
  char* allocation = nullptr;
};
