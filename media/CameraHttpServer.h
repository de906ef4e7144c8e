#pragma once
// The camera HTTP server: a pool of 15 request sessions on the HTTP port and a pool of 15
// converter sessions on a loopback port. StartServers runs on the start-up thread,
// RunServer is the body of the server thread.
#include <cstdint>

namespace platform {
class CNamedEvent;
}

constexpr int kRequestSessionCount = 15;

// Listens on the store's HTTP port (any address) and the converter port (127.0.0.1 from
// 7535 up), each retried once a second 31 times. 1 when both listen, 0 otherwise.
int StartServers();

// Arms both pools, runs their maintenance every 10000 ms (and the request guard in between)
// until stopEvent fires, then closes the listeners, logs "Camera Http Server shutdown!" and
// calls shutdown().
void RunServer(platform::CNamedEvent& stopEvent, void (*shutdown)());

// The HTTP port in use (0 before StartServers).
uint16_t GetHttpListenPort();
// For tests: the pools' maintenance as the server loop runs it.
void MaintainServers();
