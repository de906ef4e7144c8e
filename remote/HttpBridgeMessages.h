#pragma once
// The pure text rules of the bridge relay: the registration request, host:port texts, the
// zero-terminated command stream from the bridge server and the DATETIME argument. Bytes
// in, results out, no sockets, so the unit tests and the fuzz target drive them directly.
#include <cstddef>
#include <cstdint>

namespace remote {

inline constexpr int kBridgeBufferSize = 1024;  // REGISTER request, then the receive buffer
inline constexpr int kBridgeMaxHeld = kBridgeBufferSize - 1;
inline constexpr int kNicBufferSize = 256;
inline constexpr int kBridgeHostSize = 31;  // 30 characters and the zero
inline constexpr int kBridgePortSize = 8;   // 7 characters and the zero

// Cuts "host" or "host:port" into host (at most 30 characters) and port (at most 7; "80"
// when there is no colon). host needs kBridgeHostSize bytes, port kBridgePortSize.
void SplitHostPort(const char* text, char* host, char* port);

// What the registration request says about this camera.
struct BridgeIdentity {
  const char* cameraID = "";
  int listenPort = 0;
  uint32_t localAddress = 0;  // host byte order
  uint8_t mac[6] = {};
  const char* webAdminPassword = "";
  const char* ftpPassword = "";
};

// Writes the request for prefix ("GET /nic/REGISTER?" or "GET /nic/update?") and the
// server's host and port texts. Returns its length, or -1 (buffer left as an empty text)
// when it would not fit in capacity bytes with its terminating zero.
int FormatBridgeRequest(char* out, size_t capacity, const char* prefix, const char* host, const char* port,
                        const BridgeIdentity& identity);

enum class BridgeCommand { kConnect, kHeartbeat, kRelogin, kGo2Nic, kDateTime, kOther };

// Matches one message (a zero-terminated text of length bytes) by prefix and length rule;
// *argument points behind the prefix (at the message's end for kOther).
BridgeCommand ClassifyBridgeMessage(const char* message, size_t length, const char** argument);

// Receives the messages of a bridge receive buffer in order; false stops the parse (the
// connection is being left, so the rest does not matter).
class BridgeMessageSink {
 public:
  virtual ~BridgeMessageSink() = default;
  virtual bool OnBridgeMessage(BridgeCommand command, const char* argument) = 0;
};

// buffer holds count (at most kBridgeMaxHeld) bytes followed by a zero byte. Hands every
// complete message to sink, then moves the unfinished last message to the front and returns
// its length: the bytes to keep before the next receive, 0 when it would reach
// kBridgeMaxHeld (such a message can never be finished, so it is dropped). Returns -1 when
// the sink stopped the parse.
int ParseBridgeMessages(char* buffer, int count, BridgeMessageSink& sink);

// The DATETIME argument cut into its texts (each zero-terminated inside `copy`).
struct BridgeDateTime {
  char copy[32];
  const char* date = nullptr;
  const char* time = nullptr;
  const char* zone = nullptr;  // null without a zone
};
// False when the (31-character) copy holds no blank: the message is then ignored.
bool SplitBridgeDateTime(const char* argument, BridgeDateTime* out);

}  // namespace remote
