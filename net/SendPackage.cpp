#include "net/SendPackage.h"

#include <cstring>
#include <new>

namespace {
std::atomic<int> g_livePackages{0};
}

SendPackage* SendPackage::Make(const SendPackage& from, const char* data, uint32_t length, SharedReference* shared) {
  // The private copy shares the package's allocation: one allocation per send.
  const size_t copyBytes = shared != nullptr ? 0 : length;
  void* memory = ::operator new(sizeof(SendPackage) + copyBytes);
  auto* package = new (memory) SendPackage(from);
  if (shared != nullptr) {
    shared->AddRef();
    package->buffer.buf = const_cast<char*>(data);
  } else {
    package->buffer.buf = reinterpret_cast<char*>(package + 1);
    if (length > 0) std::memcpy(package->buffer.buf, data, length);
  }
  package->buffer.len = length;
  package->shared = shared;
  g_livePackages.fetch_add(1, std::memory_order_relaxed);
  return package;
}

void SendPackage::Free(SendPackage* package) {
  if (package == nullptr) return;
  SharedReference* shared = package->shared;
  package->~SendPackage();
  ::operator delete(package);
  g_livePackages.fetch_sub(1, std::memory_order_relaxed);
  // Last: once the count drops, the owner may reuse the bytes at once.
  if (shared != nullptr) shared->Release();
}

int SendPackage::LiveCount() { return g_livePackages.load(std::memory_order_relaxed); }
