#include "remote/HttpBridgeChannel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "infra/Logger.h"

namespace remote {

namespace {

constexpr int kChunkSize = 6000;

// Sends every byte; the last send result, negative on failure.
int SendAll(int socket, const char* data, int length) {
  int result = 0;
  for (int sent = 0; sent < length; sent += result) {
    result = static_cast<int>(send(socket, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL));
    if (result < 0 && errno == EINTR) {
      result = 0;
      continue;
    }
    if (result <= 0) return -1;
  }
  return result;
}

}  // namespace

void CloseBridgeSocket(int socket) {
  if (socket < 0) return;
  shutdown(socket, SHUT_RDWR);
  close(socket);
}

void ChannelsExchange(uintptr_t parameter) {
  BridgeChannel* channel = reinterpret_cast<BridgeChannel*>(parameter);
  const int id = static_cast<int>(channel->id);
  Log("[%d]ChannelsExchange start:%d, %d\r\n", id, channel->relaySocket, channel->localSocket);
  int first = channel->relaySocket;
  int second = channel->localSocket;
  if (second < first) std::swap(first, second);

  char chunk[kChunkSize];
  int received = 0, sent = 0, waited = 0;
  bool firstReady = false, secondReady = false;
  const auto relay = [&](int from, int to) {
    received = static_cast<int>(recv(from, chunk, sizeof(chunk), 0));
    if (received <= 0) return false;
    sent = SendAll(to, chunk, received);
    if (sent < 0) {
      Log("[%d]socket %d send exception errno=%d\r\n", id, to, errno);
      return false;
    }
    return true;
  };
  for (;;) {
    pollfd wait[2] = {{first, POLLIN, 0}, {second, POLLIN, 0}};
    waited = poll(wait, 2, -1);
    if (waited == 0 || (waited < 0 && errno == EINTR)) continue;
    if (waited < 0) break;
    // Hang-up and error count as readable: the receive then reports the end.
    firstReady = wait[0].revents != 0;
    secondReady = wait[1].revents != 0;
    if (firstReady && !relay(first, second)) break;
    if (secondReady && !relay(second, first)) break;
  }
  CloseBridgeSocket(first);
  CloseBridgeSocket(second);
  Log("[%d]ChannelsExchange finished. (rb=%d,sb=%d, sc=%d,fs=%d,ts=%d)\r\n", id, received, sent, waited,
      firstReady ? 1 : 0, secondReady ? 1 : 0);
  delete channel;
}

}  // namespace remote
