#pragma once
// The bridge relay: one outbound connection to a bridge server through which viewers
// outside the home reach the camera HTTP server. Runs on threads of its own that replace
// one another (exactly one bridge or NIC thread at a time, each starting its successor),
// plus one exchange thread per open relay channel; none is ever asked to stop.
//
// The bridge server host and port come from the camera information store (RELOGIN
// replaces them there). Every pause and idle time-out goes through the tick seam, so a
// test with a frozen tick runs the whole state machine without waiting.
#include <cstddef>
#include <cstdint>

namespace remote {

class HttpBridge {
 public:
  HttpBridge();  // starts generation 0 of HttpBridgeThread as "tHttpBridge"
  virtual ~HttpBridge();
  HttpBridge(const HttpBridge&) = delete;
  HttpBridge& operator=(const HttpBridge&) = delete;
};

using BridgeThreadProc = void (*)(uintptr_t parameter);

// Starts a detached thread under name, logs "create thread:..." and returns its id; 0
// (logged) when no thread could be started.
unsigned StartNamedThread(const char* name, BridgeThreadProc proc, uintptr_t parameter);

void HttpBridgeThread(uintptr_t generation);
void NICKeepAliveThread(uintptr_t generation);

// The registration request for this camera, built from the store and the host identity.
// Returns its length, or -1 (logged, nothing to send) when it does not fit in capacity.
int BuildParameterIntoRequest(char* out, size_t capacity, const char* prefix, const char* host, const char* port);

// RELOGIN: true when host[:port] accepted a connection; it is then the store's bridge server.
bool SwitchBridgeServer(const char* text);

// CONNECT: joins the relay endpoint host[:port] with the camera HTTP server on a
// "tChannelsExchange" thread. Refused (logged) while kMaxRelayChannels are open.
void OpenChannel(const char* argument);
inline constexpr int kMaxRelayChannels = 64;
int OpenRelayChannels();

// The camera HTTP server's address as a relay reaches it: host needs 16 bytes, port 8.
void GetLocalServerEndpoint(char* host, char* port);

// Test seam: makes every bridge and NIC thread end without a successor and waits until
// they have; relay channels are not touched. False when one did not end within 10 s.
bool StopHttpBridgeForTest();

}  // namespace remote
