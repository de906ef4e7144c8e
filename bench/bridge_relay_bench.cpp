// The bridge relay's cost on loopback, in one run: the same ping-pong and the same bulk
// transfer once through a relay channel (viewer -> relay endpoint -> ChannelsExchange ->
// camera HTTP server end) and once over a direct connection to the server end.
//   build/bench/bridge_relay_bench [chunks=5000] [chunk bytes=1400] [bulk MiB=512]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "camera_config/CameraInfoMgr.h"
#include "remote/HttpBridge.h"

namespace {

using Clock = std::chrono::steady_clock;

int Listen(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  listen(fd, 4);
  socklen_t n = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  *port = ntohs(a.sin_port);
  return fd;
}

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) std::exit(1);
  return fd;
}

void NoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

bool ReadAll(int fd, char* data, size_t n) {
  for (size_t got = 0; got < n;) {
    const ssize_t r = recv(fd, data + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const char* data, size_t n) {
  for (size_t sent = 0; sent < n;) {
    const ssize_t r = send(fd, data + sent, n - sent, MSG_NOSIGNAL);
    if (r <= 0) return false;
    sent += static_cast<size_t>(r);
  }
  return true;
}

struct Path {
  int viewer;  // what a viewer holds
  int server;  // the camera HTTP server's end
};

Path Direct(int listener, uint16_t port) {
  Path p{Connect(port), -1};
  p.server = accept(listener, nullptr, nullptr);
  return p;
}

Path Relayed(int httpListener, uint16_t relayPort, int relayListener) {
  remote::OpenChannel(("127.0.0.1:" + std::to_string(relayPort)).c_str());
  Path p{accept(relayListener, nullptr, nullptr), accept(httpListener, nullptr, nullptr)};
  char hello[4];
  if (!ReadAll(p.viewer, hello, 4)) std::exit(1);
  return p;
}

// Round trips of one chunk each: viewer sends, server end echoes. Microseconds, sorted.
std::vector<double> PingPong(const Path& p, int chunks, size_t bytes) {
  NoDelay(p.viewer);
  NoDelay(p.server);
  std::thread echo([&] {
    std::vector<char> b(bytes);
    for (int i = 0; i < chunks && ReadAll(p.server, b.data(), bytes); ++i) WriteAll(p.server, b.data(), bytes);
  });
  std::vector<char> b(bytes, 'p');
  std::vector<double> us;
  for (int i = 0; i < chunks; ++i) {
    const auto t0 = Clock::now();
    WriteAll(p.viewer, b.data(), bytes);
    ReadAll(p.viewer, b.data(), bytes);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  echo.join();
  std::sort(us.begin(), us.end());
  return us;
}

// The server end sends mib MiB in 64 KiB writes; MiB/s as the viewer receives them.
double Bulk(const Path& p, int mib) {
  const size_t total = static_cast<size_t>(mib) << 20;
  std::thread sender([&] {
    std::vector<char> b(65536, 'b');
    for (size_t sent = 0; sent < total; sent += b.size()) WriteAll(p.server, b.data(), b.size());
  });
  std::vector<char> b(65536);
  const auto t0 = Clock::now();
  for (size_t got = 0; got < total;) {
    const ssize_t r = recv(p.viewer, b.data(), b.size(), 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  sender.join();
  return mib / seconds;
}

double At(const std::vector<double>& sorted, double q) { return sorted[static_cast<size_t>(q * (sorted.size() - 1))]; }

}  // namespace

int main(int argc, char** argv) {
  const int chunks = argc > 1 ? std::atoi(argv[1]) : 5000;
  const size_t bytes = argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 1400;
  const int mib = argc > 3 ? std::atoi(argv[3]) : 512;
  uint16_t httpPort = 0, relayPort = 0;
  const int http = Listen(&httpPort);
  const int relay = Listen(&relayPort);
  GetCameraInfoMgr().SetDefaults();
  GetCameraInfoMgr().SetListenPort(httpPort);

  const Path relayed = Relayed(http, relayPort, relay);
  const Path direct = Direct(http, httpPort);
  const std::vector<double> viaRelay = PingPong(relayed, chunks, bytes);
  const std::vector<double> viaDirect = PingPong(direct, chunks, bytes);
  std::printf("round trip of a %zu-byte chunk, %d chunks, microseconds\n", bytes, chunks);
  std::printf("  %-8s median %7.1f  p95 %7.1f\n", "relay", At(viaRelay, 0.5), At(viaRelay, 0.95));
  std::printf("  %-8s median %7.1f  p95 %7.1f\n", "direct", At(viaDirect, 0.5), At(viaDirect, 0.95));
  std::printf("  %-8s median %7.1f  p95 %7.1f\n", "added", At(viaRelay, 0.5) - At(viaDirect, 0.5),
              At(viaRelay, 0.95) - At(viaDirect, 0.95));
  const Path relayed2 = Relayed(http, relayPort, relay);
  const Path direct2 = Direct(http, httpPort);
  std::printf("bulk %d MiB server -> viewer, MiB/s: relay %.0f, direct %.0f\n", mib, Bulk(relayed2, mib),
              Bulk(direct2, mib));
  return 0;
}
