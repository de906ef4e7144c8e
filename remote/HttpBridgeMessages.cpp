#include "remote/HttpBridgeMessages.h"

#include <cstdio>
#include <cstring>

namespace remote {

void SplitHostPort(const char* text, char* host, char* port) {
  std::strncpy(host, text, kBridgeHostSize - 1);
  host[kBridgeHostSize - 1] = '\0';
  char* colon = std::strchr(host, ':');
  if (colon == nullptr) {
    std::strcpy(port, "80");
    return;
  }
  *colon = '\0';
  std::strncpy(port, colon + 1, kBridgePortSize - 1);
  port[kBridgePortSize - 1] = '\0';
}

int FormatBridgeRequest(char* out, size_t capacity, const char* prefix, const char* host, const char* port,
                        const BridgeIdentity& id) {
  const uint32_t ip = id.localAddress;
  const int length = std::snprintf(
      out, capacity,
      "%shostname=%s&port=%d&localip=%u.%u.%u.%u&mac=%02x%02x%02x%02x%02x%02x&username=admin&password=%s"
      "&ftppsw=%s&alarmstatus=%d&type=%s&version=%d.%d.%d HTTP/1.1\r\nHost: %s:%s\r\n\r\n",
      prefix, id.cameraID, id.listenPort, ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF, id.mac[0],
      id.mac[1], id.mac[2], id.mac[3], id.mac[4], id.mac[5], id.webAdminPassword, id.ftpPassword, 0, "WebCam", 1,
      0, 1, host, port);
  if (length < 0 || static_cast<size_t>(length) >= capacity) {
    if (capacity > 0) out[0] = '\0';
    return -1;
  }
  return length;
}

namespace {

struct Rule {
  const char* prefix;
  size_t prefixLength;
  size_t minLength;  // the message must be at least this long
  BridgeCommand command;
};

// In matching order; the first rule that holds decides.
constexpr Rule kRules[] = {
    {"CONNECT:", 8, 9, BridgeCommand::kConnect},   {"HEARTBEAT", 9, 9, BridgeCommand::kHeartbeat},
    {"RELOGIN:", 8, 8, BridgeCommand::kRelogin},   {"GO2NIC:", 7, 8, BridgeCommand::kGo2Nic},
    {"DATETIME:", 9, 10, BridgeCommand::kDateTime},
};

}  // namespace

BridgeCommand ClassifyBridgeMessage(const char* message, size_t length, const char** argument) {
  for (const Rule& rule : kRules) {
    if (length >= rule.minLength && std::memcmp(message, rule.prefix, rule.prefixLength) == 0) {
      *argument = message + rule.prefixLength;
      return rule.command;
    }
  }
  *argument = message + length;
  return BridgeCommand::kOther;
}

int ParseBridgeMessages(char* buffer, int count, BridgeMessageSink& sink) {
  int position = 0;
  for (;;) {
    while (position < count && buffer[position] == '\0') ++position;
    if (position >= count) return 0;
    const char* start = buffer + position;
    // buffer[count] is zero, so this stays inside the held bytes and their terminator.
    const size_t length = std::strlen(start);
    if (position + static_cast<int>(length) >= count) {
      if (static_cast<int>(length) >= kBridgeMaxHeld) return 0;
      std::memmove(buffer, start, length);
      buffer[length] = '\0';
      return static_cast<int>(length);
    }
    const char* argument = nullptr;
    const BridgeCommand command = ClassifyBridgeMessage(start, length, &argument);
    if (command != BridgeCommand::kOther && command != BridgeCommand::kHeartbeat &&
        !sink.OnBridgeMessage(command, argument)) {
      return -1;
    }
    position += static_cast<int>(length);
  }
}

bool SplitBridgeDateTime(const char* argument, BridgeDateTime* out) {
  std::strncpy(out->copy, argument, sizeof(out->copy) - 1);
  out->copy[sizeof(out->copy) - 1] = '\0';
  char* blank = std::strchr(out->copy, ' ');
  if (blank == nullptr) return false;
  *blank = '\0';
  out->date = out->copy;
  out->time = blank + 1;
  out->zone = nullptr;
  if (char* second = std::strchr(blank + 1, ' ')) {
    *second = '\0';
    out->zone = second + 1;
  }
  return true;
}

}  // namespace remote
