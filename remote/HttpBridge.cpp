#include "remote/HttpBridge.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "camera_config/CameraInfoMgr.h"
#include "infra/Logger.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "remote/FtpClient.h"
#include "remote/HostIdentity.h"
#include "remote/HttpBridgeChannel.h"
#include "remote/HttpBridgeMessages.h"

namespace remote {

namespace {

constexpr uint32_t kStartPauseMs = 3000;
constexpr uint32_t kBackOffMs = 60000;
constexpr uint32_t kRestartPauseMs = 5000;
constexpr uint32_t kIdleSeconds = 120;
constexpr uint32_t kSecondIdleSeconds = 10000;
constexpr uint32_t kNicReplyWaitMs = 60000;
constexpr uint32_t kNicCycleMs = 120000;
constexpr char kHeartBeat[] = "HEARTBEAT";  // sent with its zero byte: 10 bytes

// Written by the bridge thread before it starts the NIC thread, read by that thread only.
char g_nicHost[kBridgeHostSize];
char g_nicPort[kBridgePortSize];
// Atomic because a log-out and a new login start a second bridge chain beside the first.
std::atomic<uint32_t> g_channelCounter{0};
std::atomic<int> g_openChannels{0};
// Bridge and NIC threads alive or about to start, and the test's request to end them.
std::atomic<int> g_bridgeThreads{0};
std::atomic<bool> g_stopping{false};

bool Stopping() { return g_stopping.load(std::memory_order_acquire); }

// Starts a bridge or NIC generation unless a test is ending them.
void StartGeneration(const char* name, BridgeThreadProc proc, uint32_t generation) {
  if (Stopping()) return;
  g_bridgeThreads.fetch_add(1);
  if (StartNamedThread(name, proc, generation) == 0) g_bridgeThreads.fetch_sub(1);
}

struct GenerationEnd {
  ~GenerationEnd() { g_bridgeThreads.fetch_sub(1); }
};

// 1 readable, 0 when timeoutMs of tick time passed (or the wait failed), -1 when a test
// ends the bridge. Waits in slices so that a frozen tick moved by a test is seen at once.
int WaitReadable(int socket, uint32_t timeoutMs) {
  const uint32_t start = platform::GetTickCount();
  for (;;) {
    if (Stopping()) return -1;
    const uint32_t elapsed = platform::GetTickCount() - start;
    if (elapsed >= timeoutMs) return 0;
    const int slice = platform::IsTickFrozen() ? 5 : static_cast<int>(std::min<uint32_t>(timeoutMs - elapsed, 1000));
    pollfd wait{socket, POLLIN, 0};
    const int ready = poll(&wait, 1, slice);
    if (ready > 0) return 1;
    if (ready < 0 && errno != EINTR) return 0;
  }
}

void RelayThread(uintptr_t parameter) {
  ChannelsExchange(parameter);
  g_openChannels.fetch_sub(1);
}

enum class Outcome { kRestart, kNic, kStopped };

// The commands of one bridge connection.
class BridgeSession : public BridgeMessageSink {
 public:
  explicit BridgeSession(uint32_t generation) : m_generation(generation) {}
  Outcome outcome = Outcome::kRestart;

  bool OnBridgeMessage(BridgeCommand command, const char* argument) override {
    switch (command) {
      case BridgeCommand::kConnect:
        OpenChannel(argument);
        return true;
      case BridgeCommand::kRelogin:
        return !SwitchBridgeServer(argument);
      case BridgeCommand::kGo2Nic:
        SplitHostPort(argument, g_nicHost, g_nicPort);
        outcome = Outcome::kNic;
        return false;
      case BridgeCommand::kDateTime: {
        BridgeDateTime when;
        if (!SplitBridgeDateTime(argument, &when)) return true;
        if (when.zone != nullptr) {
          Log("[%d]Get DATETIME cmd, update date=%s&time=%s&zone=%s.\r\n", m_generation, when.date, when.time,
              when.zone);
        } else {
          Log("[%d]Get DATETIME cmd, update date=%s&time=%s.\r\n", m_generation, when.date, when.time);
        }
        return true;
      }
      default:
        return true;
    }
  }

 private:
  int m_generation;
};

// Registers on a connected socket and runs the receive loop until the connection is left.
Outcome RunRegistered(int socket, uint32_t generation, const std::string& host, const std::string& port) {
  const int g = static_cast<int>(generation);
  Log("[%d]HttpBridgeThread begin REGISTER:%s", g, GetCameraInfoMgr().GetCameraID().c_str());
  char buffer[kBridgeBufferSize];
  const int length = BuildParameterIntoRequest(buffer, sizeof(buffer), "GET /nic/REGISTER?", host.c_str(), port.c_str());
  const int written = length < 0 ? -1 : static_cast<int>(send(socket, buffer, static_cast<size_t>(length), MSG_NOSIGNAL));
  Log("[t.%d]write %d to server:%s\r\n", g, written, buffer);

  BridgeSession session(generation);
  uint32_t idleSeconds = kIdleSeconds;
  int held = 0;
  for (;;) {
    const int ready = WaitReadable(socket, idleSeconds * 1000u);
    if (ready < 0) return Outcome::kStopped;
    if (ready > 0) {
      const int got = static_cast<int>(recv(socket, buffer + held, static_cast<size_t>(kBridgeMaxHeld - held), 0));
      if (got <= 0) return Outcome::kRestart;
      const int previous = held;
      held += got;
      buffer[held] = '\0';
      Log("[t.%d]recv %d[%d] from server[%s].\r\n", g, held, previous, "");
      idleSeconds = kIdleSeconds;
      held = ParseBridgeMessages(buffer, held, session);
      if (held < 0) return session.outcome;
      continue;
    }
    const int beat = static_cast<int>(send(socket, kHeartBeat, sizeof(kHeartBeat), MSG_NOSIGNAL));
    Log("[t.%d]select timeout, send heart beat(%d).\r\n", g, beat);
    if (idleSeconds == kSecondIdleSeconds) return Outcome::kRestart;
    idleSeconds = kSecondIdleSeconds;
    if (beat != static_cast<int>(sizeof(kHeartBeat))) return Outcome::kRestart;
  }
}

}  // namespace

HttpBridge::HttpBridge() { StartGeneration("tHttpBridge", HttpBridgeThread, 0); }

HttpBridge::~HttpBridge() = default;

unsigned StartNamedThread(const char* name, BridgeThreadProc proc, uintptr_t parameter) {
  // Shared, so that the new thread never touches a promise its starter has destroyed.
  auto started = std::make_shared<std::promise<int>>();
  std::future<int> tid = started->get_future();
  try {
    platform::StartNamedThread(name, [started, proc, parameter] {
      started->set_value(platform::CurrentThreadId());
      proc(parameter);
    }).detach();
  } catch (const std::system_error& error) {
    Log("create thread:%s failed: %s\n", name, error.what());
    return 0;
  }
  const unsigned id = static_cast<unsigned>(tid.get());
  Log("create thread:%s, tid=%u!\n", name, id);
  return id;
}

int BuildParameterIntoRequest(char* out, size_t capacity, const char* prefix, const char* host, const char* port) {
  CCameraInfoMgr& store = GetCameraInfoMgr();
  const std::string cameraID = store.GetCameraID();
  const std::string password = store.GetWebAdminPassword();
  const CCameraInfo* channel0 = store.GetCameraInfo(0);
  const std::string ftpPassword = channel0 != nullptr ? channel0->GetFtpConfig().password : "";
  BridgeIdentity identity;
  identity.cameraID = cameraID.c_str();
  identity.listenPort = store.GetListenPort();
  identity.localAddress = GetLocalAddressOrLoopback();
  const std::array<uint8_t, 6> mac = GetMacAddress();
  std::copy(mac.begin(), mac.end(), identity.mac);
  identity.webAdminPassword = password.c_str();
  identity.ftpPassword = ftpPassword.c_str();
  const int length = FormatBridgeRequest(out, capacity, prefix, host, port, identity);
  if (length < 0) {
    // Only the sizes: the request would carry both passwords.
    Log("BuildParameterIntoRequest refused: the request for %.31s does not fit in %zu bytes\r\n", prefix, capacity);
    return -1;
  }
  Log("BuildParameterIntoRequest return:[%s]", out);
  return length;
}

void HttpBridgeThread(uintptr_t parameter) {
  GenerationEnd end;
  const uint32_t generation = static_cast<uint32_t>(parameter);
  const int g = static_cast<int>(generation);
  if (generation == 0) platform::SleepMs(kStartPauseMs);
  if (Stopping()) return;
  CCameraInfoMgr& store = GetCameraInfoMgr();
  const std::string host = store.GetBridgeServerHost();
  const std::string port = store.GetBridgeServerPort();
  if (host.empty()) {
    Log("http bridge server ip not exist, quit\r\n");
    return;
  }
  Outcome outcome = Outcome::kRestart;
  const int socket = CreateClientSocket();
  if (socket < 0) {
    Log("can not create socket, quit\r\n");
    platform::SleepMs(kBackOffMs);
  } else if (!ConnectSocketTo(socket, host.c_str(), port.c_str())) {
    Log("ConnectSocketTo failed, quit.\r\n");
    platform::SleepMs(kBackOffMs);
  } else {
    outcome = RunRegistered(socket, generation, host, port);
  }
  if (outcome == Outcome::kNic) {
    Log("[%d]Get GO2NIC cmd, HttpBridgeThread quit, NICKeepAliveThread start.\r\n", g);
    StartGeneration("tNICKeepAliveThread", NICKeepAliveThread, generation + 1);
    CloseBridgeSocket(socket);
    return;
  }
  const int error = errno;
  CloseBridgeSocket(socket);
  if (outcome == Outcome::kStopped) return;
  Log("[%d]HttpBridgeThread quit. Restart 5 second later[errno=%d]\r\n", g, error);
  platform::SleepMs(kRestartPauseMs);
  StartGeneration("tHttpBridge", HttpBridgeThread, generation + 1);
}

void NICKeepAliveThread(uintptr_t parameter) {
  GenerationEnd end;
  const uint32_t generation = static_cast<uint32_t>(parameter);
  const int h = static_cast<int>(generation);
  Log("[tNIC.%d]Start NICKeepAliveThread to connect to nic server: %s:%s\r\n", h, g_nicHost, g_nicPort);
  int socket = -1;
  for (;;) {
    const uint32_t begin = platform::GetTickCount();
    socket = CreateClientSocket();
    if (socket < 0 || !ConnectSocketTo(socket, g_nicHost, g_nicPort)) break;
    char buffer[kNicBufferSize];
    const int length = BuildParameterIntoRequest(buffer, sizeof(buffer), "GET /nic/update?", g_nicHost, g_nicPort);
    if (length < 0) break;
    const int written = static_cast<int>(send(socket, buffer, static_cast<size_t>(length), MSG_NOSIGNAL));
    Log("[tNIC.%d]write %d to server:%s\r\n", h, written, buffer);
    if (written < 0) break;
    const int ready = WaitReadable(socket, kNicReplyWaitMs);
    if (ready < 0) {
      CloseBridgeSocket(socket);
      return;
    }
    if (ready == 0) break;
    const int got = static_cast<int>(recv(socket, buffer, kNicBufferSize - 1, 0));
    Log("[tNIC.%d]recv %d from server:%s\r\n", h, got, "");
    if (got < 0) break;
    buffer[got] = '\0';
    if (got >= 8 && std::strncmp(buffer, "RELOGIN:", 8) == 0 && SwitchBridgeServer(buffer + 8)) break;
    CloseBridgeSocket(socket);
    socket = -1;
    const uint32_t elapsed = platform::GetTickCount() - begin;
    if (elapsed < kNicCycleMs) platform::SleepMs(kNicCycleMs - elapsed);
    if (Stopping()) return;
  }
  CloseBridgeSocket(socket);
  Log("[tNIC.%d]NICKeepAliveThread quit, HttpBridgeThread will restart.\r\n", h);
  StartGeneration("tHttpBridge", HttpBridgeThread, generation + 1);
}

bool SwitchBridgeServer(const char* text) {
  char host[kBridgeHostSize];
  char port[kBridgePortSize];
  SplitHostPort(text, host, port);
  const int socket = CreateClientSocket();
  if (socket < 0) return false;
  const bool reachable = ConnectSocketTo(socket, host, port);
  CloseBridgeSocket(socket);
  if (!reachable) return false;
  GetCameraInfoMgr().SetBridgeServer(host, port);
  return true;
}

int OpenRelayChannels() { return g_openChannels.load(); }

void OpenChannel(const char* argument) {
  if (g_openChannels.load() >= kMaxRelayChannels) {
    Log("[sdbt]refuse CONNECT:%.30s, %d relay channels are open\r\n", argument, kMaxRelayChannels);
    return;
  }
  std::unique_ptr<BridgeChannel> channel(new (std::nothrow) BridgeChannel);
  if (!channel) return;
  channel->relaySocket = CreateClientSocket();
  channel->localSocket = CreateClientSocket();
  bool ok = channel->relaySocket >= 0 && channel->localSocket >= 0;
  if (ok) {
    char localHost[16];
    char localPort[kBridgePortSize];
    GetLocalServerEndpoint(localHost, localPort);
    ok = ConnectSocketTo(channel->localSocket, localHost, localPort);
  }
  if (ok) {
    char host[kBridgeHostSize];
    char port[kBridgePortSize];
    SplitHostPort(argument, host, port);
    ok = ConnectSocketTo(channel->relaySocket, host, port);
  }
  if (ok) {
    Log("[sdbt]try to send SvCn.\r\n");
    ok = send(channel->relaySocket, "SvCn", 4, MSG_NOSIGNAL) >= 0;
  }
  if (!ok) {
    CloseBridgeSocket(channel->relaySocket);
    CloseBridgeSocket(channel->localSocket);
    return;
  }
  Log("[sdbt]start channel transfer thread[sock1=%d sock2=%d]\r\n", channel->relaySocket, channel->localSocket);
  channel->id = g_channelCounter.fetch_add(1);
  g_openChannels.fetch_add(1);
  if (StartNamedThread("tChannelsExchange", RelayThread, reinterpret_cast<uintptr_t>(channel.get())) == 0) {
    g_openChannels.fetch_sub(1);
    CloseBridgeSocket(channel->relaySocket);
    CloseBridgeSocket(channel->localSocket);
    return;
  }
  channel.release();  // the exchange thread owns it now
}

void GetLocalServerEndpoint(char* host, char* port) {
  std::snprintf(port, kBridgePortSize, "%u", static_cast<unsigned>(GetCameraInfoMgr().GetListenPort()));
  std::strcpy(host, "127.0.0.1");
  char name[256];
  if (gethostname(name, sizeof(name)) != 0) return;
  name[sizeof(name) - 1] = '\0';
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) return;
  for (const addrinfo* item = list; item != nullptr; item = item->ai_next) {
    char text[16];
    const auto* address = reinterpret_cast<const sockaddr_in*>(item->ai_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) != nullptr && std::strcmp(text, "127.0.0.1") != 0) {
      std::strcpy(host, text);
      break;
    }
  }
  freeaddrinfo(list);
}

bool StopHttpBridgeForTest() {
  g_stopping.store(true, std::memory_order_release);
  const uint32_t deadline = 10000;
  bool ended = false;
  for (uint32_t waited = 0; waited < deadline; ++waited) {
    if (g_bridgeThreads.load() == 0) {
      ended = true;
      break;
    }
    usleep(1000);
  }
  g_stopping.store(false, std::memory_order_release);
  return ended;
}

}  // namespace remote
