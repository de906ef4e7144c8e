#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "converter/ConverterLink.h"
#include "tests/support/LoopbackPeers.h"

namespace converter {
namespace {

// The program takes the output late: more than the socket buffers hold must wait, not fail.
TEST(ConverterLinkTest, GreetsLittleEndianAndWaitsForASlowReader) {
  uint16_t port = 0;
  const int listener = nettest::ListenBlocking(&port);
  CConverterLink link;
  std::string error;
  ASSERT_TRUE(link.Open("127.0.0.1", port, 0x020304 | kAudioSessionKeyBit, 2000, &error)) << error;
  const int peer = accept(listener, nullptr, nullptr);
  close(listener);
  std::string sent(32 << 20, '\0'), received;
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 % 251);
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    received = nettest::ReadExactly(peer, sent.size() + 4);
  });
  EXPECT_TRUE(link.SendAll(reinterpret_cast<const uint8_t*>(sent.data()), sent.size(), 5000)) << strerror(errno);
  link.Close();
  reader.join();
  close(peer);
  EXPECT_EQ(received.substr(0, 4), "\x04\x03\x02\x01");
  EXPECT_TRUE(received.substr(4) == sent) << received.size();
}

}  // namespace
}  // namespace converter
