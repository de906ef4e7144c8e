// libFuzzer target (scripts/fuzz-stream.sh): [mode][seed][seed][stream...]; bit 0 of mode picks
// the FLV or the length-prefixed record parser, bits 1-2 the largest receive. Packages and key
// frames must lie in what was received, and the FLV header plus packages give back the stream.
#include <cstring>
#include <set>
#include <string>

#include "media/FLVStreamDataBuffer.h"
#include "media/PacketStreamDataBuffer.h"
#include "platform/Tick.h"

namespace {

void Check(bool condition) { if (!condition) __builtin_trap(); }

struct Split {
  uint32_t state;
  size_t largest;
  size_t Next() { return state ^= state << 13, state ^= state >> 17, state ^= state << 5, 1 + state % largest; }
};

// One receive of n bytes, as the stream reader does it; returns where they were put.
char* Receive(CStreamDataBuffer& buffer, const char* bytes, size_t n, int* result) {
  platform::AdvanceTickForTest(3000);  // packages recycle after six receives
  int free = 0, length = 0;
  char* to = buffer.GetWriteBuffer(&free);
  Check(static_cast<size_t>(free) >= n);
  std::memcpy(to, bytes, n);
  buffer.CommitWrite(static_cast<int>(n));
  char* data = buffer.GetData(&length);
  Check(data == to && length == static_cast<int>(n));
  *result = buffer.ParseReceived(data, length);
  return to;
}

void FuzzFlv(const std::string& input, Split split) {
  CFLVStreamDataBuffer buffer;
  buffer.SetSize(8192, 32);
  std::string live;  // package data of every accepted receive, in order
  int result = 0, headerLength = 0;
  for (size_t at = 0, n = 0; at < input.size() && result != -1; at += n) {
    n = std::min(input.size() - at, split.Next());
    Receive(buffer, input.data() + at, n, &result);
    Check(result >= -1 && result <= 1 && buffer.CarryCount() >= 0 && buffer.CarryCount() <= 11);
    int length = 0, keyLength = 0;
    if (result != 1) continue;
    const char* data = buffer.GetPackageData(&length);
    const StreamPackage* package = buffer.GetCurrentPackage();
    Check(package && length >= 0 && data >= package->allocation && data + length <= package->data + package->received);
    if (const char* key = buffer.GetKeyFrame(&keyLength)) {
      Check(key >= data && key + keyLength == data + length && key[0] == 9 && (key[11] & 0x10) != 0);
      Check(package->keyFrame == key && package->length == keyLength);
    }
    live.append(data, static_cast<size_t>(length));
  }
  const char* header = buffer.GetHeader(&headerLength);
  Check(headerLength >= 0 && headerLength <= CStreamDataBuffer::kHeaderCapacity);
  if (result == -1 || buffer.ParserState() != 4) return;
  const size_t head = static_cast<size_t>(headerLength);
  Check(input.compare(0, head, header, head) == 0 && input.compare(head, live.size(), live) == 0 &&
        head + live.size() + static_cast<size_t>(buffer.CarryCount()) == input.size());
  buffer.GetFLVHistoryClip(0, 0xFFFFFFFFu, "/dev/null");
}

// A key frame marks the first record that begins inside a receive (the stream's first left out).
void FuzzRecords(const std::string& input, Split split) {
  std::set<uint64_t> starts;
  for (uint64_t at = 0; at < input.size() && (at == 0 || starts.insert(at).second) && input.size() - at >= 4;) {
    const auto* p = reinterpret_cast<const unsigned char*>(input.data() + at);
    at += 4 + (uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 | uint64_t{p[3]} << 24);
  }
  CPacketStreamDataBuffer buffer;
  buffer.SetSize(8192, 32);
  for (size_t at = 0, n = 0; at < input.size(); at += n) {
    n = std::min(input.size() - at, split.Next());
    int result = 0, length = 0, keyLength = 0;
    char* to = Receive(buffer, input.data() + at, n, &result);
    Check(result == 1 && buffer.GetPackageData(&length) == to && length == static_cast<int>(n));
    const char* key = buffer.GetKeyFrame(&keyLength);
    const auto first = starts.lower_bound(at);
    Check(first == starts.end() || *first >= at + n ? key == nullptr
                                                    : key == to + (*first - at) && key + keyLength == to + n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 3) return 0;
  [[maybe_unused]] static const bool frozen = (platform::FreezeTickForTest(1000), true);
  static const size_t kLargest[] = {16, 256, 2048, 8192};
  const Split split{static_cast<uint32_t>(bytes[1] | bytes[2] << 8) | 0x10000u, kLargest[(bytes[0] >> 1) & 3]};
  const std::string input(reinterpret_cast<const char*>(bytes + 3), size - 3);
  (bytes[0] & 1) == 0 ? FuzzFlv(input, split) : FuzzRecords(input, split);
  return 0;
}
