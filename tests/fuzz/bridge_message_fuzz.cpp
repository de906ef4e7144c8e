// libFuzzer target (scripts/fuzz-bridge.sh): bridge server bytes [seed][bytes...] reach the
// message parser in receives of varying size, in a heap buffer of exactly the bridge's size.
// While no message is long enough to be dropped, the messages must not depend on the split.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "remote/HttpBridgeMessages.h"

namespace {

void Check(bool condition) { if (!condition) __builtin_trap(); }

struct Recorder : remote::BridgeMessageSink {
  std::vector<std::string> seen;
  bool OnBridgeMessage(remote::BridgeCommand command, const char* argument) override {
    Check(std::strlen(argument) < remote::kBridgeMaxHeld);
    seen.push_back(std::to_string(static_cast<int>(command)) + argument);
    return command != remote::BridgeCommand::kGo2Nic;
  }
};

// Seed 0 gives the largest receives, others a repeating pattern of sizes.
std::vector<std::string> Run(const uint8_t* data, size_t size, uint8_t seed) {
  std::unique_ptr<char[]> buffer(new char[remote::kBridgeBufferSize]);
  Recorder sink;
  int held = 0;
  for (size_t at = 0, step = 1; at < size && held >= 0; ++step) {
    const size_t room = static_cast<size_t>(remote::kBridgeMaxHeld - held);
    const size_t take = std::min({seed == 0 ? room : 1 + (seed * step * 7u) % 97u, room, size - at});
    std::memcpy(buffer.get() + held, data + at, take);
    at += take;
    held += static_cast<int>(take);
    buffer[held] = '\0';
    held = remote::ParseBridgeMessages(buffer.get(), held, sink);
    Check(held < 0 || (held < remote::kBridgeMaxHeld && !std::memchr(buffer.get(), 0, static_cast<size_t>(held))));
  }
  return sink.seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::vector<std::string> split = Run(data + 1, size - 1, data[0]);
  size_t run = 0, longest = 0;  // a run of 1000 non-zero bytes may be dropped in one split only
  for (size_t i = 1; i < size; ++i) longest = std::max(longest, run = data[i] ? run + 1 : 0);
  if (longest < 1000) Check(split == Run(data + 1, size - 1, 0));
  return 0;
}
