#pragma once
// One relay channel: bytes copied both ways between the bridge's relay endpoint and the
// camera HTTP server until either side ends. Owned by its "tChannelsExchange" thread.
#include <cstdint>

namespace remote {

struct BridgeChannel {
  uint32_t id = 0;
  int relaySocket = -1;
  int localSocket = -1;
};

// Thread procedure; parameter is a BridgeChannel* allocated with new, freed here.
void ChannelsExchange(uintptr_t parameter);

// Full shutdown of both directions, then close; negative sockets are skipped.
void CloseBridgeSocket(int socket);

}  // namespace remote
