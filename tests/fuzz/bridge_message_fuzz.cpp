// libFuzzer target (scripts/fuzz-bridge.sh): bridge server bytes [seed][bytes...] go to the
// message parser in receives of varying size, into a heap buffer of exactly the bridge's
// size, so a read or write past it is caught. Checks: the held count stays below 1023 and
// holds no zero; every handed message fits its rule; and while no message is long enough
// to be dropped, the messages handed do not depend on how the bytes were split.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "remote/HttpBridgeMessages.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

struct Recorder : remote::BridgeMessageSink {
  std::vector<std::string> seen;
  const char* begin = nullptr;
  bool OnBridgeMessage(remote::BridgeCommand command, const char* argument) override {
    Check(argument >= begin && argument < begin + remote::kBridgeBufferSize);
    const std::string text(argument);
    Check(text.size() < remote::kBridgeMaxHeld);
    seen.push_back(std::to_string(static_cast<int>(command)) + text);
    return command != remote::BridgeCommand::kGo2Nic;
  }
};

// Receive sizes from seed: 0 gives the largest receives, others a repeating pattern.
std::vector<std::string> Run(const uint8_t* data, size_t size, uint8_t seed) {
  std::unique_ptr<char[]> buffer(new char[remote::kBridgeBufferSize]);
  Recorder sink;
  sink.begin = buffer.get();
  int held = 0;
  size_t at = 0;
  for (unsigned step = 1; at < size; ++step) {
    const size_t room = static_cast<size_t>(remote::kBridgeMaxHeld - held);
    Check(room >= 1);
    size_t take = seed == 0 ? room : 1 + (seed * step * 7u) % 97u;
    take = std::min({take, room, size - at});
    std::memcpy(buffer.get() + held, data + at, take);
    at += take;
    held += static_cast<int>(take);
    buffer[held] = '\0';
    held = remote::ParseBridgeMessages(buffer.get(), held, sink);
    if (held < 0) break;
    Check(held <= remote::kBridgeMaxHeld - 1);
    Check(std::memchr(buffer.get(), 0, static_cast<size_t>(held)) == nullptr);
  }
  return sink.seen;
}

// True when a run of non-zero bytes could reach the drop length in some split.
bool HasLongMessage(const uint8_t* data, size_t size) {
  size_t run = 0;
  for (size_t i = 0; i < size; ++i) {
    run = data[i] == 0 ? 0 : run + 1;
    if (run >= 1000) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t seed = data[0];
  const std::vector<std::string> split = Run(data + 1, size - 1, seed);
  if (!HasLongMessage(data + 1, size - 1)) Check(split == Run(data + 1, size - 1, 0));
  return 0;
}
