#include "remote/HttpBridgeMessages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using remote::BridgeCommand;

TEST(BridgeTextTest, HostPortAndDateTimeArguments) {
  const struct { std::string text, host, port; } rows[] = {
      {"relay.example", "relay.example", "80"}, {"10.0.0.2:8089", "10.0.0.2", "8089"}, {"", "", "80"},
      {"h:", "h", ""}, {"h:123456789", "h", "1234567"},
      {std::string(40, 'a') + ":1", std::string(30, 'a'), "80"}};  // the colon was cut off with the host
  for (const auto& row : rows) {
    char host[remote::kBridgeHostSize], port[remote::kBridgePortSize];
    remote::SplitHostPort(row.text.c_str(), host, port);
    EXPECT_EQ(row.host + "|" + row.port, std::string(host) + "|" + port) << row.text;
  }
  const struct { const char* argument; const char* expected; } times[] = {
      {"2026-12-07 20:00:00", "2026-12-07|20:00:00|-"}, {"2026-12-07", "none"},
      {"2026-12-07 20:00:00 +0800", "2026-12-07|20:00:00|+0800"},
      {"2026-12-07 20:00:00 +0800 and more than 31", "2026-12-07|20:00:00|+0800 and m"}};
  for (const auto& row : times) {
    remote::BridgeDateTime when;
    const std::string got = remote::SplitBridgeDateTime(row.argument, &when)
                                ? std::string(when.date) + "|" + when.time + "|" + (when.zone ? when.zone : "-")
                                : "none";
    EXPECT_EQ(row.expected, got) << row.argument;
  }
}

TEST(BridgeTextTest, RequestIsBoundedByItsBuffer) {
  remote::BridgeIdentity id;
  const std::string longId(200, 'c');
  id.cameraID = longId.c_str();
  char buffer[remote::kNicBufferSize + 8];
  buffer[remote::kNicBufferSize] = 'Z';  // the guard byte behind the buffer stays
  EXPECT_EQ(-1, remote::FormatBridgeRequest(buffer, remote::kNicBufferSize, "GET /nic/update?", "h", "80", id));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ('Z', buffer[remote::kNicBufferSize]);
}

// Feeds the parser as the bridge thread does: each receive gets at most the room left.
struct Recorder : remote::BridgeMessageSink {
  std::vector<std::string> seen;
  bool OnBridgeMessage(BridgeCommand command, const char* argument) override {
    static const char* const kNames[] = {"CONNECT", "HEARTBEAT", "RELOGIN", "GO2NIC", "DATETIME", "OTHER"};
    seen.push_back(std::string(kNames[static_cast<int>(command)]) + "=" + argument);
    return command != BridgeCommand::kGo2Nic;
  }
};

std::vector<std::string> Feed(const std::vector<std::string>& receives) {
  Recorder sink;
  char buffer[remote::kBridgeBufferSize];
  int count = 0;
  for (const std::string& chunk : receives) {
    for (size_t at = 0; at < chunk.size();) {
      const size_t take = std::min(chunk.size() - at, static_cast<size_t>(remote::kBridgeMaxHeld - count));
      if (take == 0) return {"full buffer: nothing more can be received"};
      count += static_cast<int>(chunk.copy(buffer + count, take, at));
      at += take;
      buffer[count] = '\0';
      if ((count = remote::ParseBridgeMessages(buffer, count, sink)) < 0) return sink.seen;
    }
  }
  return sink.seen;
}

std::string Z(const char* text) { return std::string(text) + '\0'; }

TEST(BridgeParserTest, ReceiveSplits) {
  const std::string x1022(1022, 'x'), x1023(1023, 'x');
  const struct { const char* name; std::vector<std::string> receives, handled; } rows[] = {
      {"two in one receive, in order", {Z("HEARTBEAT") + Z("DATETIME:d t") + Z("CONNECT:1.2.3.4:5")},
       {"DATETIME=d t", "CONNECT=1.2.3.4:5"}},
      {"split over two receives, handled once", {"CONN", Z("ECT:h:1")}, {"CONNECT=h:1"}},
      {"zero bytes between and ahead", {std::string(3, '\0') + Z("RELOGIN:a") + std::string(2, '\0')},
       {"RELOGIN=a"}},
      {"length rules", {Z("CONNECT:") + Z("GO2NIC:") + Z("DATETIME:") + Z("RELOGIN:") + Z("HEARTBEATX")},
       {"RELOGIN="}},
      {"1023 bytes unterminated are dropped", {x1023, Z("CONNECT:b")}, {"CONNECT=b"}},
      {"1022 bytes are kept until their zero", {"CONNECT:" + x1022.substr(8), Z("") + Z("CONNECT:c")},
       {"CONNECT=" + x1022.substr(8), "CONNECT=c"}},
      {"GO2NIC ends the parse", {Z("GO2NIC:n:1") + Z("CONNECT:late")}, {"GO2NIC=n:1"}}};
  for (const auto& row : rows) EXPECT_EQ(row.handled, Feed(row.receives)) << row.name;
}

}  // namespace
