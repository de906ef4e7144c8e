#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "media/FLVStreamDataBuffer.h"
#include "media/PacketStreamDataBuffer.h"
#include "platform/Tick.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckInPackage(const StreamPackage* package, const char* at, int length) {
  Check(package != nullptr);
  Check(length >= 0);
  Check(at >= package->allocation && at <= package->data + package->received);
  Check(at + length <= package->data + package->received);
}

struct Split {
  uint32_t state;
  size_t largest;
  size_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return 1 + state % largest;
  }
};

void FuzzFlv(const std::string& input, Split split) {
  CFLVStreamDataBuffer buffer;
  buffer.SetSize(8192, 32);
  std::string live;  // package data of every accepted receive, in order
  bool rejected = false;
  for (size_t at = 0; at < input.size() && !rejected;) {
    const size_t n = std::min(input.size() - at, split.Next());
    int free = 0;
    char* to = buffer.GetWriteBuffer(&free);
    Check(free == 8192 && static_cast<size_t>(free) >= n);
    std::memcpy(to, input.data() + at, n);
    buffer.CommitWrite(static_cast<int>(n));
    at += n;
    int length = 0;
    char* data = buffer.GetData(&length);
    Check(data == to && length == static_cast<int>(n));
    const int result = buffer.ParseReceived(data, length);
    Check(result >= -1 && result <= 1);
    Check(buffer.CarryCount() >= 0 && buffer.CarryCount() <= 11);
    int headerLength = 0;
    buffer.GetHeader(&headerLength);
    Check(headerLength >= 0 && headerLength <= CStreamDataBuffer::kHeaderCapacity);
    if (result == -1) rejected = true;
    if (result != 1) continue;
    Check(buffer.ParserState() == 4);
    StreamPackage* package = buffer.GetCurrentPackage();
    int packageLength = 0;
    char* packageData = buffer.GetPackageData(&packageLength);
    CheckInPackage(package, packageData, packageLength);
    int keyLength = 0;
    char* key = buffer.GetKeyFrame(&keyLength);
    if (key != nullptr) {
      CheckInPackage(package, key, keyLength);
      Check(key >= packageData && key + keyLength == packageData + packageLength);
      Check(key[0] == 9 && (key[11] & 0x10) != 0);
      Check(package->keyFrame == key && package->length == keyLength);
    }
    live.append(packageData, static_cast<size_t>(packageLength));
    platform::AdvanceTickForTest(3000);  // packages recycle after six receives
  }
  if (rejected || buffer.ParserState() != 4) return;
  int headerLength = 0;
  const char* header = buffer.GetHeader(&headerLength);
  Check(input.compare(0, static_cast<size_t>(headerLength), header, static_cast<size_t>(headerLength)) == 0);
  int carry = buffer.CarryCount();
  Check(live.size() + static_cast<size_t>(carry) + static_cast<size_t>(headerLength) == input.size());
  Check(input.compare(static_cast<size_t>(headerLength), live.size(), live) == 0);
  buffer.GetFLVHistoryClip(0, 0xFFFFFFFFu, "/dev/null");
}

void FuzzRecords(const std::string& input, Split split) {
  std::set<uint64_t> starts;
  for (uint64_t at = 0; at < input.size();) {
    if (at != 0) starts.insert(at);
    if (input.size() - at < 4) break;
    const auto* p = reinterpret_cast<const unsigned char*>(input.data() + at);
    at += 4 + (uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 | uint64_t{p[3]} << 24);
  }
  CPacketStreamDataBuffer buffer;
  buffer.SetSize(8192, 32);
  for (size_t at = 0; at < input.size();) {
    const size_t n = std::min(input.size() - at, split.Next());
    int free = 0;
    char* to = buffer.GetWriteBuffer(&free);
    std::memcpy(to, input.data() + at, n);
    buffer.CommitWrite(static_cast<int>(n));
    int length = 0;
    char* data = buffer.GetData(&length);
    Check(buffer.ParseReceived(data, length) == 1);
    int packageLength = 0;
    Check(buffer.GetPackageData(&packageLength) == to && packageLength == static_cast<int>(n));
    int keyLength = 0;
    char* key = buffer.GetKeyFrame(&keyLength);
    const auto first = starts.lower_bound(at);
    if (first == starts.end() || *first >= at + n) {
      Check(key == nullptr);
    } else {
      Check(key == to + (*first - at) && key + keyLength == to + n);
    }
    at += n;
    platform::AdvanceTickForTest(3000);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 3) return 0;
  static const bool frozen = (platform::FreezeTickForTest(1000), true);
  (void)frozen;
  static const size_t kLargest[] = {16, 256, 2048, 8192};
  Split split{static_cast<uint32_t>(bytes[1] | bytes[2] << 8) | 0x10000u, kLargest[(bytes[0] >> 1) & 3]};
  const std::string input(reinterpret_cast<const char*>(bytes + 3), size - 3);
  if ((bytes[0] & 1) == 0) {
    FuzzFlv(input, split);
  } else {
    FuzzRecords(input, split);
  }
  return 0;
}
